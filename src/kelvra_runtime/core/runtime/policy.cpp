// kelvra_runtime.core.runtime.policy: the interface through which the
// runtime reads policy configurations, and the provider that has none.

#include "common/frame.hpp"

namespace {

using kr::Ref;
using kr::steal;

const char module_doc[] =
    "Policy provider protocol for runtime policy configuration.\n"
    "\n"
    "This module defines the interface for accessing policy configurations.\n"
    "Runtime provides no-op default; infra provides Django-model-backed policies.\n";

// Source lines of the module's statements.
constexpr int kLineImportTyping = 7;
constexpr int kLinePolicyProvider = 11;
constexpr int kLineNoOpPolicyProvider = 41;
constexpr int kLineNoOpConfigsBody = 49;
constexpr int kLineNoOpPolicyBody = 52;

const kr::Param self_params[] = {{"self"}};
const kr::Param name_params[] = {{"self"}, {"name", kr::exact_str, "str"}};

constexpr const char *kConfigAnnotation = "Dict[str, Any]";

// ---------------------------------------------------------------------------
// PolicyProvider: the contract; its methods do nothing.

const kr::FunctionDef protocol_get_runtime_configs_def = {
    .name = "get_runtime_configs",
    .doc =
        "Get all active policy configurations.\n"
        "\n"
        "        Returns:\n"
        "            Dict mapping policy names to their configurations\n"
        "        ",
    .line = 21,
    .params = self_params,
    .returns = kConfigAnnotation,
};

const kr::FunctionDef protocol_get_policy_def = {
    .name = "get_policy",
    .doc =
        "Get a specific policy configuration.\n"
        "\n"
        "        Args:\n"
        "            name: The policy name\n"
        "\n"
        "        Returns:\n"
        "            The policy configuration dict, or empty dict if not found\n"
        "        ",
    .line = 29,
    .params = name_params,
    .returns = kConfigAnnotation,
};

const kr::Member policy_provider_members[] = {
    kr::method(protocol_get_runtime_configs_def),
    kr::method(protocol_get_policy_def),
};

const kr::ClassDef policy_provider_def = {
    .name = "PolicyProvider",
    .doc =
        "Provides policy configurations at runtime.\n"
        "\n"
        "    Implementations provide access to policy rules and configurations\n"
        "    that govern workflow execution.\n"
        "\n"
        "    Default: NoOpPolicyProvider (returns empty config)\n"
        "    Production: PolicyRegistry (Django model-backed)\n"
        "    ",
    .line = kLinePolicyProvider,
    .members = policy_provider_members,
    .base = "Protocol",
    .decorator = "runtime_checkable",
};

// ---------------------------------------------------------------------------
// NoOpPolicyProvider: no policies, so everything is allowed.

// `return {}`: a new dict on every call, which the caller may fill.
template <int line>
PyObject *new_empty_config(kr::Call &call) {
    PyObject *config = PyDict_New();
    return config ? config : call.fail(line);
}

const kr::FunctionDef noop_get_runtime_configs_def = {
    .name = "get_runtime_configs",
    .line = 48,
    .params = self_params,
    .returns = kConfigAnnotation,
    .body = new_empty_config<kLineNoOpConfigsBody>,
};

const kr::FunctionDef noop_get_policy_def = {
    .name = "get_policy",
    .line = 51,
    .params = name_params,
    .returns = kConfigAnnotation,
    .body = new_empty_config<kLineNoOpPolicyBody>,
};

const kr::Member noop_policy_provider_members[] = {
    kr::method(noop_get_runtime_configs_def),
    kr::method(noop_get_policy_def),
};

const kr::ClassDef noop_policy_provider_def = {
    .name = "NoOpPolicyProvider",
    .doc =
        "No-op policy provider for standalone runtime.\n"
        "\n"
        "    Returns empty configurations. All execution is allowed.\n"
        "    Useful for local development and testing without governance.\n"
        "    ",
    .line = kLineNoOpPolicyProvider,
    .members = noop_policy_provider_members,
};

// ---------------------------------------------------------------------------
// The module

const char *const typing_names[] = {"Any", "Dict", "Protocol", "runtime_checkable"};

int policy_body(kr::Module &m) {
    if (m.import_from("typing", typing_names, kLineImportTyping) < 0) return -1;

    if (m.def_class(policy_provider_def) < 0) return -1;
    return m.def_class(noop_policy_provider_def);
}

const kr::ModuleDef policy_module = {
    .name = "policy",
    .doc = module_doc,
    .body = policy_body,
};

}  // namespace

PyMODINIT_FUNC PyInit_policy() { return kr::module_init(policy_module); }
