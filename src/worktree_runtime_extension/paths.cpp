#include "paths.hpp"

#include "convert.hpp"
#include "domain/paths.hpp"

namespace worktree_runtime::python {
namespace {

std::string normalize_path(OptionalText raw_path) { return domain::normalize_path(raw_path.value.value_or("")); }

std::string path_fingerprint(Text input_path) { return domain::path_fingerprint(input_path.value); }

}  // namespace

PyMethodDef normalize_path_function = module_function<"normalize_path(raw_path)", &normalize_path>();
PyMethodDef path_fingerprint_function = module_function<"path_fingerprint(input_path)", &path_fingerprint>();

}  // namespace worktree_runtime::python
