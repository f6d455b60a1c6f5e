#pragma once
// The blocks of names that each area of the module exports; module.cpp sets
// them in the module's order. A new name joins a block of its area; a new
// block is declared here and placed in module.cpp.

#include "module_exports.hpp"

namespace worktree_runtime::python {

// paths.cpp: path normalisation, fingerprints, worktree locations, the state
// directory layout and the environment-variable contract.
namespace paths_exports {
extern const ExportBlock variable_constants;
extern const ExportBlock path_functions;
extern const ExportBlock location_functions;
extern const ExportBlock variable_functions;
}  // namespace paths_exports

// project_config.cpp: the project's own settings, its identifier and its
// GitHub policy.
namespace project_config_exports {
extern const ExportBlock constants;
extern const ExportBlock classes;
extern const ExportBlock project_id_functions;
extern const ExportBlock policy_functions;
}  // namespace project_config_exports

// git.cpp: repository probes, main-worktree checks and the worktree listing.
namespace git_exports {
extern const ExportBlock constants;
extern const ExportBlock worktree_classes;
extern const ExportBlock listing_classes;
extern const ExportBlock worktree_functions;
extern const ExportBlock listing_functions;
}  // namespace git_exports

// bindings.cpp: worktree bindings, the store, validation and the registry.
namespace bindings_exports {
extern const ExportBlock constants;
extern const ExportBlock binding_classes;
extern const ExportBlock store_classes;
extern const ExportBlock functions;
}  // namespace bindings_exports

// audit.cpp: the audit log, its records, the writer and the reader.
namespace audit_exports {
extern const ExportBlock classes;
extern const ExportBlock functions;
}  // namespace audit_exports

// exceptions.cpp: the module's exception types.
namespace exceptions_exports {
extern const ExportBlock types;
}  // namespace exceptions_exports

}  // namespace worktree_runtime::python
