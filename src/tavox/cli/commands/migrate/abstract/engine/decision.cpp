// tavox.cli.commands.migrate.abstract -- the native path's decision over a
// YAML file's bytes (see decision.hpp).
#include "decision.hpp"

#include "text_scan.hpp"

namespace tavox::cli::commands::migrate::abstract {

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
                    YamlPlan{check.lines, patching,
                             patch_yaml(tree, bytes, body_lines(check.lines), patching.fixes,
                                        patching.comments)});
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
