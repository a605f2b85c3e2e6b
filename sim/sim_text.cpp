#include "sim/sim_text.h"

#include <cstdio>

std::string nyxsim_mac_text(const uint8_t mac[6]) {
    char buf[18];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return buf;
}

std::string nyxsim_ip_text(const uint8_t ip[4]) {
    char buf[16];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
}

std::string nyxsim_hex16(uint32_t value) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%04x", value);
    return buf;
}