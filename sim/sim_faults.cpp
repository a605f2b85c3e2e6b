// How the simulator sends: datagrams dropped, sent twice, held back or corrupted on demand.
#include "sim/sim_internal.h"

namespace {

bool chance(nyxsim *sim, uint32_t percent) {
    return percent > 0 && sim->random() % 100 < percent;
}

void send_now(nyxsim *sim, const vtr_address *to, const uint8_t *head, size_t size,
              const std::string &note) {
    size_t length = size;
    vtr_error e = vtr_socket_sendto(sim->sock, head, &length, to);
    if (e == VTR_SUCCESS) {
        nyxsim_trace_datagram(sim, "->", to, head, size, note);
        return;
    }
    char error[VTR_ERROR_TEXT_SIZE];
    nyxsim_trace_datagram(sim, "->", to, head, size,
                          "send failed: " + std::string(vtr_error_text(e, error)));
}

// Holds a copy back for the configured delay, or sends it at once without one.
void send_or_delay(nyxsim *sim, const vtr_address *to, const uint8_t *head, size_t size,
                   const std::string &note) {
    if (sim->delay_max_ms == 0) {
        send_now(sim, to, head, size, note);
        return;
    }
    if (sim->delayed.size() >= NYXSIM_MAX_DELAYED) {
        nyxsim_trace_datagram(sim, "-x", to, head, size, "delay queue full");
        return;
    }
    uint32_t span = sim->delay_max_ms - sim->delay_min_ms;
    uint32_t ms = sim->delay_min_ms + (span ? uint32_t(sim->random() % (span + 1)) : 0);
    sim->delayed.push_back(
        nyxsim_delayed_datagram{nyxsim_clock::now() + std::chrono::milliseconds(ms), *to,
                                std::vector<uint8_t>(head, head + size)});
}

} // namespace

std::chrono::milliseconds nyxsim_send_due(nyxsim *sim) {
    auto now = nyxsim_clock::now();
    auto next = std::chrono::milliseconds(NYXSIM_POLL_INTERVAL.usec / 1000);
    for (size_t i = 0; i < sim->delayed.size();) {
        nyxsim_delayed_datagram &d = sim->delayed[i];
        if (d.due <= now) {
            if (vtr_socket_is_valid(sim->sock))
                send_now(sim, &d.to, d.bytes.data(), d.bytes.size(), "delayed");
            d = std::move(sim->delayed.back());
            sim->delayed.pop_back();
            continue;
        }
        next = std::min(next, std::chrono::ceil<std::chrono::milliseconds>(d.due - now));
        ++i;
    }
    return next;
}

void nyxsim_transmit(nyxsim *sim, const vtr_address *to, const std::string &summary) {
    uint8_t *head = sbcp2_message_head(&sim->tx);
    size_t size = sbcp2_message_get_size(head);
    if (sim->garble == "size") {
        sbcp2_message_add_size(head, 4); // the datagram itself keeps its length
    } else if (sim->garble == "truncate") {
        size_t kept = SBCP2_HEAD_SIZE + ((size - SBCP2_HEAD_SIZE) / 2 & ~size_t(1));
        sbcp2_message_add_size(head, uint16_t(kept - size)); // wraps: the size field shrinks
        size = kept;
    } else if (sim->garble == "opcode") {
        head[6] ^= 0x40;
    }
    if (chance(sim, sim->drop_percent)) {
        nyxsim_trace_datagram(sim, "-x", to, head, size, "dropped");
        return;
    }
    int copies = chance(sim, sim->dup_percent) ? 2 : 1;
    for (int i = 0; i < copies; ++i)
        send_or_delay(sim, to, head, size, i == 1 ? std::string("duplicate") : summary);
}
