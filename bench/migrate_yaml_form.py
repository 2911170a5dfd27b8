"""How closely a patched YAML file keeps its original form.

Every YAML file of the sample repository and of a generated repository
(bench/migrate_abstract.py) is checked and patched (fixes and comments) in a
scratch copy, and the patched file is compared line by line with the
original.  A file counts as kept when its diff holds only what the
suggestions ask for: lines whose value changed (same key, same indentation,
same line break), and added lines that are marker comments or added keys.
For reference, the same count for a plain round trip of ruamel.yaml (the
whole document dumped with its defaults).  The generated files are also
measured in two other forms of the same content: with a byte-order mark and
CRLF line breaks, and indented by four blanks.

    python bench/migrate_yaml_form.py [--size small|medium|large] [--seed N]
"""
import argparse
import difflib
import io
import os
import queue
import re
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import migrate_abstract as generator  # noqa: E402

KEY = re.compile(r"^(\s*)([^\s#][^:]*):")
ADDED_KEYS = ("model", "pid")


def ending(line):
    return line[len(line.rstrip("\r\n")):]


def expected_only(original, patched):
    """Whether the diff of two texts holds only changed values, marker
    comments and added keys."""
    a, b = original.splitlines(True), patched.splitlines(True)
    if original.startswith("\ufeff") != patched.startswith("\ufeff"):
        return False
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        if tag == "equal":
            continue
        if tag == "delete":
            return False
        added = b[j1:j2]
        for old in a[i1:i2]:  # each old line has its new value among the added ones
            m = KEY.match(old)
            same = [n for n in added if m and KEY.match(n)
                    and KEY.match(n).groups() == m.groups() and ending(n) == ending(old)]
            if not same:
                return False
            added.remove(same[0])
        for line in added:
            text = line.strip()
            if text.startswith("# * ABSTRACTION"):
                continue
            m = KEY.match(line)
            if m and m.group(2) in ADDED_KEYS:
                continue
            return False
    return True


def plain_round_trip(abstract, cmd, text, msg_lines):
    from ruamel.yaml import YAML
    yaml = YAML()
    yaml.preserve_quotes = True
    obj = yaml.load(text)
    obj = cmd.apply_yaml_fix(obj, msg_lines)
    obj = cmd.apply_yaml_comment(obj, msg_lines)
    out = io.StringIO()
    yaml.dump(obj, out)
    return out.getvalue()


FORMS = {
    "as generated": lambda text: text,
    "byte-order mark and CRLF": lambda text: "\ufeff" + text.replace("\n", "\r\n"),
    "four-blank indentation": lambda text: re.sub(r"(?m)^( +)", r"\1\1", text),
}


def measure(abstract, cmd, files, scratch, form):
    patched = kept = kept_plain = lines_ours = lines_plain = 0
    for path in files:
        with open(path, "rb") as f:
            raw = f.read()
        try:
            text = FORMS[form](raw.decode("utf-8"))
        except UnicodeDecodeError:
            continue
        raw = text.encode("utf-8")
        copy = os.path.join(scratch, "copy.yaml")
        with open(copy, "wb") as f:
            f.write(raw)
        q = queue.Queue()
        cmd.check_yaml(copy, q)
        if q.empty():
            continue
        msg = q.get()
        if "\n" not in msg:  # "Could not load yaml file"
            continue
        try:
            cmd.apply_patches(patch_type=abstract.FileTypes.YAML, msg=msg,
                              success_queue=queue.Queue(), failer_queue=queue.Queue())
            plain = plain_round_trip(abstract, cmd,
                                     text.replace("\r\n", "\n").lstrip("\ufeff"),
                                     msg.splitlines()[1:])
        except Exception:  # a suggestion that does not apply (keys that are no text, ...)
            continue
        with open(copy, "rb") as f:
            ours = f.read().decode("utf-8")
        patched += 1
        kept += expected_only(text, ours)
        kept_plain += expected_only(text, plain)
        lines_ours += sum(1 for d in difflib.ndiff(text.splitlines(True), ours.splitlines(True))
                          if d[:1] in "+-")
        lines_plain += sum(1 for d in difflib.ndiff(text.splitlines(True), plain.splitlines(True))
                           if d[:1] in "+-")
    return patched, kept, kept_plain, lines_ours, lines_plain


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=generator.SIZES, default="small")
    parser.add_argument("--seed", type=int, default=7)
    opts = parser.parse_args()

    import logging
    import tavox.cli.commands.migrate.abstract as abstract
    logging.getLogger(abstract.__name__).disabled = True
    abstract.read_tokens()
    cmd = abstract.MigrateAbstractCommand(prog="tavox migrate abstract")
    cmd.apply_fixes_flag = cmd.apply_comments_flag = True

    sample = os.path.join(HERE, "..", "examples", "sample_repo")
    with tempfile.TemporaryDirectory(prefix="tavox-bench-") as scratch:
        repo = os.path.join(scratch, "repo")
        generator.ensure(repo, *generator.SIZES[opts.size], opts.seed)
        for name, root, form in [("sample repository", sample, "as generated")] + [
                (f"generated ({opts.size}), {form}", repo, form) for form in FORMS]:
            files = sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs
                           if f.lower().endswith((".yaml", ".yml")))
            patched, kept, plain, lines, plain_lines = measure(abstract, cmd, files, scratch, form)
            print(f"{name}: {len(files)} YAML files, {patched} patched; "
                  f"exactly the expected lines changed in {kept} "
                  f"(plain round trip: {plain}); lines changed {lines} "
                  f"(plain round trip: {plain_lines})")


if __name__ == "__main__":
    main()
