// tavox.cli.commands.migrate.abstract -- applying the suggestions of a check
// back to the file they name: YAML documents through ruamel.yaml's round
// trip, Python sources as lists of lines.
//
// The methods here belong to MigrateAbstractCommand; module.cpp binds them
// into the class in class order.
#if __has_include("abstract.hpp")
#include "abstract.hpp"
#else
#include "support/support.hpp"
#endif

namespace tavox::cli::commands::migrate::abstract {

// def apply_yaml_fix(self, obj, msg_lines):
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_yaml_fix, "MigrateAbstractCommand.apply_yaml_fix",
                 "self, obj, msg_lines", nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "apply_yaml_fix");
    throw py::error_already_set();
}

// def apply_yaml_comment(self, obj, msg_lines):
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_yaml_comment,
                 "MigrateAbstractCommand.apply_yaml_comment", "self, obj, msg_lines", nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "apply_yaml_comment");
    throw py::error_already_set();
}

// def apply_python_comments(self, file_lines, msg_lines, offset=0):
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_python_comments,
                 "MigrateAbstractCommand.apply_python_comments",
                 "self, file_lines, msg_lines, offset=0", nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "apply_python_comments");
    throw py::error_already_set();
}

// def apply_python_fixes(self, file_lines, msg_lines, offset=0):
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_python_fixes,
                 "MigrateAbstractCommand.apply_python_fixes",
                 "self, file_lines, msg_lines, offset=0", nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "apply_python_fixes");
    throw py::error_already_set();
}

// def apply_patches(self, patch_type, msg, success_queue, failer_queue):
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_patches, "MigrateAbstractCommand.apply_patches",
                 "self, patch_type, msg, success_queue, failer_queue", nullptr) {
    py::handle self = call[0];
    if (!py::bool_(self.attr("apply_fixes_flag")) && !py::bool_(self.attr("apply_comments_flag")))
        return py::none();
    PyErr_SetString(PyExc_NotImplementedError, "apply_patches");
    throw py::error_already_set();
}

}  // namespace tavox::cli::commands::migrate::abstract
