// IPv4 socket addresses: parsing, comparison and text forms.
#include "vtr/core_internal.h"
#include "vtr/vtr_log.h"
#include "vtr/vtr_socket.h"

#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

static_assert(sizeof(sockaddr_in) == sizeof(vtr_sockaddr_in));
static_assert(AF_INET == VTR_AF_INET);

vtr_error vtr_address_parse_ipv4(const char *text, uint32_t *address_be) {
    if (text == nullptr || address_be == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    // The dotted-quad parser returns all ones for a failure, so that address is taken as it is.
    if (strcmp(text, "255.255.255.255") == 0) {
        *address_be = 0xFFFFFFFFu;
        return VTR_SUCCESS;
    }
    uint32_t value = static_cast<uint32_t>(inet_addr(text));
    if (value == 0xFFFFFFFFu) {
        return VTR_INVALIDPARAMETER;
    }
    *address_be = value;
    return VTR_SUCCESS;
}

vtr_error vtr_address_set_ipv4(vtr_address *address, int family, const char *text, uint16_t port) {
    if (address == nullptr || family == VTR_AF_UNSPEC) {
        return VTR_INVALIDPARAMETER;
    }
    if (family != VTR_AF_INET) {
        return VTR_NOTSUPPORTED;
    }
    memset(address, 0, sizeof *address);
    uint32_t address_be = 0;
    if (vtr_address_parse_ipv4(text, &address_be) != VTR_SUCCESS) {
        return VTR_INVALIDPARAMETER;
    }
    address->length = sizeof(vtr_sockaddr_in);
    address->addr.family = VTR_AF_INET;
    address->addr.port_be = htons(port);
    address->addr.addr_be = address_be;
    return VTR_SUCCESS;
}

uint16_t vtr_address_port(const vtr_address *address) {
    if (address == nullptr || address->addr.family != VTR_AF_INET) {
        return 0;
    }
    return ntohs(address->addr.port_be);
}

bool vtr_address_equal(const vtr_address *a, const vtr_address *b) {
    if (a == nullptr || b == nullptr || a->addr.family == 0 || b->addr.family == 0) {
        return false;
    }
    size_t length = a->length < sizeof(vtr_sockaddr_in) ? a->length : sizeof(vtr_sockaddr_in);
    return memcmp(&a->addr, &b->addr, length) == 0;
}

char *vtr_inet_ntoa(uint32_t address_be, char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return nullptr;
    }
    in_addr in;
    memset(&in, 0, sizeof in);
    memcpy(&in, &address_be, sizeof address_be);
    const char *text = inet_ntoa(in);
    if (text == nullptr || vtr_strlcpy(buffer, text, size) >= size) {
        return nullptr;
    }
    return buffer;
}

char *vtr_address_to_string(const vtr_address *address, char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    buffer[0] = '\0';
    if (address == nullptr || address->addr.family != VTR_AF_INET) {
        return buffer;
    }
    if (vtr_inet_ntoa(address->addr.addr_be, buffer, size) == nullptr) {
        buffer[0] = '\0';
        return buffer;
    }
    size_t used = strlen(buffer);
    vtr_snprintf(buffer + used, size - used, ":%u (len=%u)",
                 static_cast<unsigned>(ntohs(address->addr.port_be)),
                 static_cast<unsigned>(address->length));
    return buffer;
}

void vtr_address_from_native(vtr_address *address, const void *native, size_t length) {
    memset(address, 0, sizeof *address);
    memcpy(&address->addr, native, length < sizeof address->addr ? length : sizeof address->addr);
    address->length = static_cast<uint32_t>(length);
}
