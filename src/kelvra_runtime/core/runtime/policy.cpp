// kelvra_runtime.core.runtime.policy: the interface through which the
// runtime reads policy configurations, and the provider that has none.

#include "common/frame.hpp"
#include "policy_decl.hpp"

namespace {

// ---------------------------------------------------------------------------
// NoOpPolicyProvider: no policies, so everything is allowed.  Each call
// returns a new dict, which the caller may fill.

kr::Result body::NoOpPolicyProvider::get_runtime_configs(kr::Call &, kr::Handle) {
    return {kr::new_dict(), line::runtime_configs_result};
}

kr::Result body::NoOpPolicyProvider::get_policy(kr::Call &, kr::Handle, kr::Handle) {
    return {kr::new_dict(), line::policy_result};
}

}  // namespace

#include "policy_tables.hpp"
