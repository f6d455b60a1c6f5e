#include "project_config.hpp"

#include "convert.hpp"
#include "infrastructure/project_id_resolver.hpp"

namespace worktree_runtime::python {
namespace {

support::Result<std::string> resolve_project_id(OptionalText repo_root) {
  return infrastructure::resolve_checked_project_id(repo_root.value);
}

}  // namespace

PyMethodDef resolve_project_id_function = module_function<"resolve_project_id(repo_root=None)", &resolve_project_id>();

}  // namespace worktree_runtime::python
