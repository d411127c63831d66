// kelvra_runtime.core.runtime.policy: the interface through which the
// runtime reads policy configurations, and the provider that has none.

#include "common/frame.hpp"
#include "policy_decl.hpp"

namespace {

// ---------------------------------------------------------------------------
// NoOpPolicyProvider: no policies, so everything is allowed.

// `return {}`: a new dict on every call, which the caller may fill.
PyObject *new_empty_config(kr::Call &call, int line) {
    PyObject *config = PyDict_New();
    return config ? config : call.fail(line);
}

kr::Result body::NoOpPolicyProvider::get_runtime_configs(kr::Call &call, kr::Handle self) {
    return new_empty_config(call, line::runtime_configs_result);
}

kr::Result body::NoOpPolicyProvider::get_policy(kr::Call &call, kr::Handle self, kr::Handle name) {
    return new_empty_config(call, line::policy_result);
}

}  // namespace

#include "policy_tables.hpp"
