// Every call the stage makes into its host. Each host extension is optional: a call is skipped when
// the host did not offer the table or leaves the function null.
#include "plugin_instance.h"
#include "registry.h"

void host_log_message(plugin_instance* instance, clap_log_severity severity, const char* text) {
    if (instance && instance->host_log && instance->host_log->log)
        instance->host_log->log(instance->host, severity, text);
}

void host_request_flush(plugin_instance* instance) {
    if (instance && instance->host_params && instance->host_params->request_flush)
        instance->host_params->request_flush(instance->host);
}

void host_mark_dirty(plugin_instance* instance) {
    if (instance && instance->host_state && instance->host_state->mark_dirty)
        instance->host_state->mark_dirty(instance->host);
}

void host_rescan_values(plugin_instance* instance) {
    if (instance && instance->host_params && instance->host_params->rescan)
        instance->host_params->rescan(instance->host, CLAP_PARAM_RESCAN_VALUES);
}

void host_request_restart(plugin_instance* instance) {
    if (instance && instance->host && instance->host->request_restart)
        instance->host->request_restart(instance->host);
}

void host_request_callback(plugin_instance* instance) {
    if (instance && instance->host && instance->host->request_callback)
        instance->host->request_callback(instance->host);
}

namespace {
void notify_log_warning(plugin_instance* instance, const char* text) {
    host_log_message(instance, CLAP_LOG_WARNING, text);
}

constexpr registry_host_notify notify_table = {
    .log_warning = notify_log_warning,
    .request_flush = host_request_flush,
    .mark_dirty = host_mark_dirty,
};
} // namespace

void host_services_install() {
    if (registry_host_notify_table() != &notify_table) registry_set_host_notify(&notify_table);
}
