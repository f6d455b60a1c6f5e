#pragma once
// The table of names that each area of the module exports. module.cpp lists
// the module's names in the order of `__all__` and finds each in one of these
// tables. A new area declares its table here and joins module.cpp's kAreas.

#include "module_exports.hpp"

namespace worktree_runtime::python {

// paths.cpp: path normalisation, fingerprints, worktree locations, the state
// directory layout and the environment-variable contract.
namespace paths_exports {
extern const ExportTable entries;
}

// project_config.cpp: the project's own settings, its identifier and its
// GitHub policy.
namespace project_config_exports {
extern const ExportTable entries;
}

// git.cpp: repository probes, main-worktree checks and the worktree listing.
namespace git_exports {
extern const ExportTable entries;
}

// bindings.cpp: worktree bindings, the store, validation and the registry.
namespace bindings_exports {
extern const ExportTable entries;
}

// audit.cpp: the audit log, its records, the writer and the reader.
namespace audit_exports {
extern const ExportTable entries;
}

// exceptions.cpp: the module's exception types.
namespace exceptions_exports {
extern const ExportTable entries;
}

}  // namespace worktree_runtime::python
