// tavox.cli.commands.migrate.abstract -- the native path's decision over a
// YAML file's bytes (see decision.hpp).
#include "decision.hpp"

#include "text_scan.hpp"

#include <cstdint>
#include <cstring>

namespace tavox::cli::commands::migrate::abstract {

// ---- a plan, packed --------------------------------------------------------------

namespace {

void put_u32(std::string &out, size_t n) {
    auto v = static_cast<uint32_t>(n);
    out.append(reinterpret_cast<const char *>(&v), sizeof v);
}

uint32_t get_u32(const std::string &in, size_t &at) {
    uint32_t v;
    std::memcpy(&v, in.data() + at, sizeof v);
    at += sizeof v;
    return v;
}

}  // namespace

YamlPlan::YamlPlan(std::string_view lines, Patching patching, const YamlPatch &patch)
    : lines_size_(static_cast<uint32_t>(lines.size())),
      edits_(static_cast<uint32_t>(patch.edits.size())),
      notes_(static_cast<uint32_t>(patch.log.size())), patching_(patching),
      outcome_(patch.outcome), reason_(patch.reason) {
    size_t size = lines.size();
    for (const YamlEdit &e : patch.edits) size += 3 * sizeof(uint32_t) + e.insert.size();
    for (const YamlPatch::Note &n : patch.log) size += 1 + sizeof(uint32_t) + n.text.size();
    packed_.reserve(size);
    packed_.append(lines);
    for (const YamlEdit &e : patch.edits) {
        put_u32(packed_, e.at);
        put_u32(packed_, e.erase);
        put_u32(packed_, e.insert.size());
        packed_.append(e.insert);
    }
    for (const YamlPatch::Note &n : patch.log) {
        packed_.push_back(n.warning ? '\1' : '\0');
        put_u32(packed_, n.text.size());
        packed_.append(n.text);
    }
}

bool YamlPlan::made_for(std::string_view lines, Patching patching) const {
    return patching.fixes == patching_.fixes && patching.comments == patching_.comments &&
           std::string_view(packed_).substr(0, lines_size_) == lines;
}

YamlPatch YamlPlan::patch() const {
    YamlPatch out;
    out.outcome = outcome_;
    out.reason = reason_;
    size_t at = lines_size_;
    out.edits.reserve(edits_);
    for (uint32_t i = 0; i < edits_; ++i) {
        YamlEdit e;
        e.at = get_u32(packed_, at);
        e.erase = get_u32(packed_, at);
        uint32_t size = get_u32(packed_, at);
        e.insert.assign(packed_, at, size);
        at += size;
        out.edits.push_back(std::move(e));
    }
    out.log.reserve(notes_);
    for (uint32_t i = 0; i < notes_; ++i) {
        YamlPatch::Note n;
        n.warning = packed_[at++] != '\0';
        uint32_t size = get_u32(packed_, at);
        n.text.assign(packed_, at, size);
        at += size;
        out.log.push_back(std::move(n));
    }
    return out;
}

// ---- the decision --------------------------------------------------------------------

NativeDecision decide(std::string_view bytes, const TokenTable &table, Patching patching,
                      const std::atomic<bool> *stop) noexcept {
    NativeDecision out;
    if (!valid_utf8(bytes)) {
        // open() decodes strictly: the loader, and the safe loader after
        // it, raise on the first undecodable byte, wherever it is, since
        // either reads the stream to its end.
        out.outcome = NativeDecision::Outcome::CouldNotLoad;
        return out;
    }
    try {
        YamlCheck check;
        if (bytes.find('\r') == std::string_view::npos) {
            YamlTree tree;
            check = check_yaml_text(bytes, table, patching ? &tree : nullptr, stop);
            if (patching && check.outcome == YamlCheck::Outcome::Message)
                out.plan = std::make_shared<const YamlPlan>(
                    check.lines, patching,
                    patch_yaml(tree, bytes, body_lines(check.lines), patching.fixes,
                               patching.comments));
        } else {
            std::string text(bytes);
            translate_newlines(text);
            check = check_yaml_text(text, table, nullptr, stop);
        }
        switch (check.outcome) {
        case YamlCheck::Outcome::NoMessage:
            out.outcome = NativeDecision::Outcome::NoMessage;
            break;
        case YamlCheck::Outcome::Message:
            out.outcome = NativeDecision::Outcome::Message;
            break;
        case YamlCheck::Outcome::HandOver:
            break;
        case YamlCheck::Outcome::TooDeep:
            out.outcome = NativeDecision::Outcome::CouldNotLoad;
            break;
        }
        out.check = std::move(check);
    } catch (...) {  // out of memory on the way: the loader path
        out = NativeDecision();
    }
    return out;
}

}  // namespace tavox::cli::commands::migrate::abstract
