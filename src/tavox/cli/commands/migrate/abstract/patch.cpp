// tavox.cli.commands.migrate.abstract -- one message applied to its file
// (apply_patches), and the steps every pass shares: the file read once as
// its check read it, and its new content committed.
//
// The methods belong to MigrateAbstractCommand; module.cpp binds them into
// the class in class order.  Files are only ever replaced whole: the new
// content is computed first, from the bytes read once, and replaces the file
// only if it still holds those bytes (support/files.hpp), in the run's
// batches (drain.cpp).
#include "patch.hpp"

#include "reading.hpp"

#include "support/yaml_depth.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// ---- files -----------------------------------------------------------------

// OSError(errno, text): the subclass of its errno, with a text of our own
// instead of a file name.
[[noreturn]] void raise_explained(int err, const std::string &text) {
    py::object args = py::make_tuple(err, text);
    PyErr_SetObject(PyExc_OSError, args.ptr());
    throw py::error_already_set();
}

[[noreturn]] void raise_changed(py::handle path) {
    raise(PyExc_RuntimeError,
          fmt("{!r} changed since it was checked; its suggestions were not applied", path));
}

// Replace the file at `path` by `data`, whole or not at all, and only over
// the content it was computed from (`expected`), in the file it was read
// from (`id`, when known).
void replace_content(py::handle path, const std::string &data, const std::string &expected,
                     const support::FileId *id) {
    std::string where = fs_path(path);
    support::Replacement r;
    {
        support::Unlocked unlocked;
        r = support::replace_file(where, data, &expected, id);
    }
    check_replacement(path, r);
}

// Only the lines before the first header at the left margin belong to the
// message's own file: a message may go on with the suggestions for other
// files (the new __init__.py files of an init message), each under a header
// line of its own.  Nothing else ends them: splitlines() also breaks a line
// at characters that a suggested value may hold (\x1c, \x85, ...), and such
// a piece is skipped as a line that does not parse, costing no other line.
py::list own_lines(const py::list &msg_lines) {
    static const std::string header_end = "__init__.py:";
    py::list own;
    for (py::handle line : msg_lines) {
        std::string text = support::utf8(line);
        bool header =
            !text.empty() && text[0] != ' ' && text[0] != '\t' &&
            text.size() >= header_end.size() &&
            text.compare(text.size() - header_end.size(), header_end.size(), header_end) == 0;
        if (header) break;
        own.append(line);
    }
    return own;
}

}  // namespace

std::string read_source(py::handle filepath, const RunRecord::Checked *checked) {
    std::string where = fs_path(filepath), bytes;
    support::Fingerprint now;
    bool ok;
    int err;
    {
        support::Unlocked unlocked;
        ok = support::read_file(where, bytes);
        err = errno;
        if (ok && checked) now = support::fingerprint(bytes);
    }
    if (!ok) support::raise_os_error(err, filepath);
    if (checked && (!checked->read || checked->fingerprint != now)) raise_changed(filepath);
    return bytes;
}

// Raises what stopped a replacement of the file at `path`; nothing for one
// that went through.
void check_replacement(py::handle path, const support::Replacement &r) {
    switch (r.outcome) {
    case support::Replacement::Written:
    case support::Replacement::Unchanged:
        return;
    case support::Replacement::Changed:
        raise_changed(path);
    case support::Replacement::Failed:
        break;
    }
    if (!r.directory.empty())
        raise_explained(r.err, std::strerror(r.err) + std::string(": the directory '") +
                                   r.directory +
                                   "' cannot be written, and a file is replaced through a new "
                                   "file written beside it");
    if (!r.kept.empty())
        raise_explained(r.err, std::strerror(r.err) + std::string(" while rewriting '") +
                                   utf8(path) + "' in place; its whole new content is in '" +
                                   r.kept + "'");
    support::raise_os_error(r.err, path);
}

void commit(RunRecord *run, const RunRecord::Checked *checked, py::handle path,
            const std::string &data, const std::string &expected) {
    if (run && run->preview) {
        if (data != expected) run->proposed(utf8(path), expected, data);
        return;
    }
    const support::FileId *id = checked && checked->read ? &checked->id : nullptr;
    if (run && run->batch && data != expected) {
        // Beside the file, to reach the disk with the others of its batch;
        // a file with several links is written on its own.
        std::string where = fs_path(path);
        support::Staged staged;
        {
            support::Unlocked unlocked;
            staged = support::stage_replacement(where, data, &expected, id);
        }
        if (staged.waiting()) return run->batch->stage(path, std::move(staged));
        if (!staged.in_place) return check_replacement(path, staged.result);
        run->batch->flush();
    }
    // The rename and the file's entry in the success log go together: no
    // Ctrl-C between them (the run lets it through once the entry is in).
    if (run && data != expected) run->hold_interrupts();
    replace_content(path, data, expected, id);
    if (run && data != expected) run->wrote(utf8(path));
}

std::string encoded(py::handle text, py::handle encoding) {
    return py::bytes(text.attr("encode")(encoding));
}

// def apply_patches(self, patch_type, msg, success_queue, failer_queue):
//
// The message's first line names its file: the whole line less its final
// ":" as a check writes it.  While a run goes on, a message is applied only
// to a file one of its checks read, only if the file still holds what the
// check read, and a real file (links lead to one) at most once; each refusal
// is an exception, which the run reports as a failure item for the file.
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_patches, "MigrateAbstractCommand.apply_patches",
                 "self, patch_type, msg, success_queue, failer_queue", nullptr) {
    py::handle self = TAVOX_ARG(self), patch_type = TAVOX_ARG(patch_type);
    py::object FileTypes = call.global("FileTypes");

    py::list msg_lines = TAVOX_ARG(msg).attr("splitlines")();
    std::string first = utf8(msg_lines.attr("pop")(0));
    RunRecord *run = RunRecord::of(self);
    const std::string *tied = run ? run->tie(first) : nullptr;
    py::object filepath = call.global("os").attr("path").attr("abspath")(
        from_utf8(tied ? *tied : header_path(first)));
    py::object empty = concat(filepath, ":\n");

    bool fixes = truth(self.attr("apply_fixes_flag"));
    bool comments = truth(self.attr("apply_comments_flag"));
    bool is_yaml = patch_type.equal(FileTypes.attr("YAML"));
    bool is_python = patch_type.equal(FileTypes.attr("PYTHON"));

    const RunRecord::Checked *checked = nullptr;
    if (run && (fixes || comments) && (is_yaml || is_python)) {
        if (!tied)
            raise(PyExc_RuntimeError,
                  fmt("{!r} is not a file this run has checked; its suggestions were not applied",
                      filepath));
        checked = run->find(*tied);
        // A link that leads out of the repository (anyone who may add a file
        // to a shared tree may plant one) is checked and reported, never
        // followed to rewrite what it leads to; nor is what is no regular
        // file (a device, a pipe).
        std::string where = fs_path(filepath);
        std::string real = run->outside(where);
        if (!real.empty())
            raise(PyExc_RuntimeError,
                  fmt("{!r} is a link to {!r}, outside the repository; it is not rewritten",
                      filepath, from_utf8(real)));
        struct stat st {};
        if (::stat(where.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            raise(PyExc_RuntimeError,
                  fmt("{!r} is not a regular file; it is not rewritten", filepath));
        // Nor is a document nested deeper than any loader may go handed to
        // the patcher's loader.
        if (checked->too_deep)
            raise(PyExc_RuntimeError,
                  fmt("{!r} nests its collections deeper than {} levels; it is not loaded",
                      filepath, support::MAX_YAML_DEPTH));
        if (checked->read) {
            if (const std::string *earlier = run->patched_through(checked->id))
                raise(PyExc_RuntimeError,
                      fmt("{!r} is the same file as {!r}, which this run has patched already",
                          filepath, from_utf8(*earlier)));
        }
    }

    FilePatch patch{call,    self,     run,
                    checked, filepath, own_lines(msg_lines),
                    fixes,   comments, py::str(default_encoding()),
                    empty,   empty};
    if (fixes || comments) {
        if (is_yaml) patch.yaml();
        if (is_python) patch.python();
    }

    // Only a patch that went through, even in part, makes the file's other
    // names "patched already": after a failure each is tried on its own.
    bool failed = !patch.fail_msg.equal(empty), succeeded = !patch.succ_msg.equal(empty);
    if (checked && checked->read && (succeeded || !failed))
        run->patched(checked->id, utf8(filepath));
    Batch *batch = run ? run->batch : nullptr;
    if (succeeded) {
        if (batch) batch->success(TAVOX_ARG(success_queue), patch.succ_msg);
        else TAVOX_ARG(success_queue).attr("put")(patch.succ_msg);
    }
    if (failed) {
        if (batch) batch->flush();
        TAVOX_ARG(failer_queue).attr("put")(patch.fail_msg);
        return py::bool_(false);
    }
    if (fixes || comments) return py::bool_(true);
    return py::none();
}

}  // namespace tavox::cli::commands::migrate::abstract
