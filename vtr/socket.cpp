// What opening a connected UDP socket takes on every platform.
#include "vtr/core_internal.h"
#include "vtr/vtr_socket.h"

vtr_error vtr_socket_connect_udp(vtr_socket *sock, const vtr_address *address) {
    if (sock == nullptr || *sock != VTR_SOCKET_INVALID || address == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_error error = vtr_socket_open_udp(sock, address->addr.family);
    if (error != VTR_SUCCESS) {
        return error;
    }
    error = vtr_socket_connect_native(*sock, address);
    if (error != VTR_SUCCESS) {
        vtr_socket_close(sock);
    }
    return error;
}
