// The runtime environment: a logger and an event loop, each either made here or lent.
#include "vtr/vtr_event.h"

#include <new>

vtr_error vtr_env_new(uint32_t flags, vtr_env **env) {
    if (env == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_env *made = new (std::nothrow) vtr_env{};
    if (made == nullptr) {
        return VTR_NOMEMORY;
    }
    if ((flags & VTR_ENV_LOGGER) != 0) {
        if (vtr_logger_new(&made->logger) != VTR_SUCCESS || made->logger == nullptr) {
            made->logger = nullptr;
            vtr_env_delete(made);
            return VTR_NOMEMORY;
        }
        made->owned |= VTR_ENV_LOGGER;
    }
    if ((flags & VTR_ENV_EVENT_LOOP) != 0) {
        if (vtr_event_loop_new(&made->loop) != VTR_SUCCESS) {
            made->loop = nullptr;
            vtr_env_delete(made);
            return VTR_NOMEMORY;
        }
        made->owned |= VTR_ENV_EVENT_LOOP;
    }
    *env = made;
    return VTR_SUCCESS;
}

void vtr_env_delete(vtr_env *env) {
    if (env == nullptr) {
        return;
    }
    // The loop goes first: calls discarded at its teardown may still log.
    if ((env->owned & VTR_ENV_EVENT_LOOP) != 0) {
        vtr_event_loop_delete(env->loop);
    }
    if ((env->owned & VTR_ENV_LOGGER) != 0) {
        vtr_logger_delete(env->logger);
    }
    delete env;
}
