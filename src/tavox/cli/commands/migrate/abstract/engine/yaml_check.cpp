// tavox.cli.commands.migrate.abstract -- the YAML testbed check over a tree
// read natively (see yaml_check.hpp).  It walks the document the way
// check_yaml walks the loaded one: groups first, then devices, each mapping
// as the dict the loader builds (first position, last value of a repeated
// key).  Wherever the loaded document would give the check a value that is
// not plain text where text is needed, or make it raise (for the
// except_log path), the check gives up and the loader path decides.
#include "yaml_check.hpp"

#include "yaml_scalar.hpp"

#include <algorithm>
#include <exception>

namespace tavox::cli::commands::migrate::abstract {

namespace {

using Node = YamlTree::Node;
using Kind = YamlTree::Kind;
constexpr uint32_t none = YamlTree::none;

// Thrown inside the check where only the loader path can tell.
struct HandOver : std::exception {};

// The tokens of one value, as far as the check reads them (compute_tokens).
struct Tokens {
    bool has_platform = false;
    bool list = false;  // several platforms, shown joined by " or "
    std::vector<std::string> platforms;
    std::string model, submodel, pid;
    bool has_model = false, has_submodel = false, has_pid = false;
    bool unknown = false;  // the value matched no rule
};

std::string joined(const std::vector<std::string> &items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += " or ";
        out += items[i];
    }
    return out;
}

// A value shown in a line (str()), with its truth, for the values the
// check shows or tests: a device's os and model.
struct Shown {
    bool truthy = false;
    bool text_key = false;  // a str: it may be a key of the token tables
    bool hashable = true;
    std::string text;
};

bool ascii(std::string_view v) {
    return std::all_of(v.begin(), v.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

class Checker {
public:
    Checker(const YamlTree &tree, const TokenTable &tables, YamlCheck &out)
        : t_(tree), tables_(tables), out_(out) {}

    void run(const Node &root) {
        groups(root);
        devices(root);
    }

private:
    const YamlTree &t_;
    const TokenTable &tables_;
    YamlCheck &out_;

    bool is_str(const Node &n) const { return n.kind == Kind::Scalar && n.type == Scalar::Str; }

    // mapping.get(name): the value of the last key equal to `name`, or none.
    // Only a str key equals a str.
    uint32_t get(const Node &mapping, std::string_view name) const {
        uint32_t found = none, key = none;
        for (uint32_t c = mapping.first; c != none; c = t_.node(c).next) {
            if (key == none) {
                key = c;
                continue;
            }
            const Node &k = t_.node(key);
            if (is_str(k) && t_.text(k) == name) found = c;
            key = none;
        }
        return found;
    }

    // mapping.items() of the dict the loader builds: each key at its first
    // position with its last value.  Names are shown in lines, so every key
    // must be a str here.
    std::vector<std::pair<std::string_view, uint32_t>> items(const Node &mapping) const {
        std::vector<std::pair<std::string_view, uint32_t>> out;
        std::unordered_map<std::string_view, size_t> at;
        uint32_t key = none;
        for (uint32_t c = mapping.first; c != none; c = t_.node(c).next) {
            if (key == none) {
                key = c;
                continue;
            }
            const Node &k = t_.node(key);
            if (!is_str(k)) throw HandOver{};
            auto [it, fresh] = at.emplace(t_.text(k), out.size());
            if (fresh) out.emplace_back(t_.text(k), c);
            else out[it->second].second = c;
            key = none;
        }
        return out;
    }

    Shown shown(uint32_t i) const {
        const Node &n = t_.node(i);
        if (n.kind == Kind::Sequence || n.kind == Kind::Mapping) {
            if (n.count) throw HandOver{};
            return {false, false, false, n.kind == Kind::Sequence ? "[]" : "{}"};
        }
        std::string_view v = t_.text(n);
        switch (n.type) {
        case Scalar::Str:
            return {!v.empty(), true, true, std::string(v)};
        case Scalar::Null:
            return {false, false, true, "None"};
        case Scalar::Bool: {
            std::string lower(v);
            for (char &c : lower) c = static_cast<char>(c | 0x20);
            bool b = lower == "yes" || lower == "true" || lower == "on";
            return {b, false, true, b ? "True" : "False"};
        }
        case Scalar::Int:
            if (canonical_int(v)) return {v != "0", false, true, std::string(v)};
            throw HandOver{};
        default:
            throw HandOver{};
        }
    }

    // compute_tokens(value) for a str value.  Case folding is only certain
    // here for ASCII text.
    Tokens compute(std::string_view value) {
        if (!ascii(value)) throw HandOver{};
        std::string lower(value);
        for (char &c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        Tokens r;
        auto fixed = [&](const char *model, const char *submodel) {
            r.has_platform = true;
            r.platforms = {"tor9k"};
            r.has_model = true;
            r.model = model;
            if (submodel) {
                r.has_submodel = true;
                r.submodel = submodel;
            }
            return r;
        };
        if (tables_.known_os.count(lower)) return r;
        if (tables_.known_platforms.count(lower)) {
            r.has_platform = true;
            r.platforms = {lower};
            return r;
        }
        std::string exact(value);
        if (auto pid = tables_.pids.find(exact); pid != tables_.pids.end()) {
            r.has_platform = true;
            r.platforms = {pid->second.platform};
            r.has_model = true;
            r.model = pid->second.model;
            r.has_pid = true;
            r.pid = exact;
            out_.pids.push_back(exact);
            return r;
        }
        if (lower == "ferrin" || lower == "ap" || lower == "zel_ap")
            return fixed("q9100ap", nullptr);
        if (lower == "q9800_cl" || lower == "q9800cl") return fixed("q9800", "q9800cl");
        if (lower == "q9800_l" || lower == "q9800l") return fixed("q9800", "q9800l");
        if (auto model = tables_.models.find(lower); model != tables_.models.end()) {
            r.has_platform = true;
            r.list = true;
            r.platforms = model->second;
            r.has_model = true;
            r.model = lower;
            return r;
        }
        if (tables_.platforms.count(lower)) {
            r.has_platform = true;
            r.platforms = {lower};
            return r;
        }
        r.unknown = true;
        return r;
    }

    static bool differs(const Tokens &tokens, std::string_view value) {
        return tokens.list || tokens.platforms.front() != value;  // a list never equals a str
    }

    void line(std::string_view a, std::string_view name, std::string_view b) {
        out_.lines.append("    ").append(a).append(name).append(b);
    }

    // root.get(key, {}) when the key is there: its mapping, whose .items()
    // the check calls (anything else raises there: the loader path decides).
    const Node *section(const Node &root, const char *key) {
        uint32_t at = get(root, key);
        if (at == none) return nullptr;
        const Node &found = t_.node(at);
        if (found.kind != Kind::Mapping) throw HandOver{};
        return &found;
    }

    void groups(const Node &root) {
        const Node *groups = section(root, "groups");
        if (!groups) return;
        for (auto [name, data_at] : items(*groups)) {
            const Node &data = t_.node(data_at);
            if (data.kind != Kind::Mapping) throw HandOver{};  // .get() raises
            uint32_t platforms_at = get(data, "platforms");
            if (platforms_at == none || t_.node(platforms_at).kind != Kind::Sequence) continue;
            for (uint32_t c = t_.node(platforms_at).first; c != none; c = t_.node(c).next) {
                const Node &p = t_.node(c);
                if (!is_str(p)) throw HandOver{};  // no lower() for compute_tokens
                std::string_view value = t_.text(p);
                Tokens tokens = compute(value);
                if (tokens.has_platform && differs(tokens, value)) {
                    line("groups.", name, ".platforms: ");
                    out_.lines.append(value).append(" -> ").append(joined(tokens.platforms));
                    out_.lines += '\n';
                } else if (tokens.unknown) {
                    line("groups.", name, ".platforms: Please ensure \"");
                    out_.lines.append(value).append("\" is a valid platform\n");
                }
            }
        }
    }

    void devices(const Node &root) {
        const Node *devices = section(root, "devices");
        if (!devices) return;
        for (auto [name, dev_at] : items(*devices)) {
            const Node &dev = t_.node(dev_at);
            if (dev.kind != Kind::Mapping) continue;
            uint32_t os_at = get(dev, "os"), platform_at = get(dev, "platform");
            // The device's OS, looked up and shown only where the check uses it.
            auto os = [&] {
                if (os_at == none) return Shown{true, true, true, "unknown_os"};
                return shown(os_at);
            };
            if (platform_at == none) continue;
            const Node &p = t_.node(platform_at);
            if (p.kind == Kind::Scalar && p.type == Scalar::Null) continue;
            if (!is_str(p)) throw HandOver{};  // true, but no lower() for compute_tokens
            std::string_view platform = t_.text(p);
            if (platform.empty()) continue;

            Tokens tokens = compute(platform);
            if (tokens.has_platform && differs(tokens, platform)) {
                std::string now;
                if (tokens.list) {
                    // Only the platforms the device's OS knows, OS as written.
                    Shown os_ = os();
                    if (!os_.hashable) throw HandOver{};  // TOKEN_HIERARCHY.get raises
                    const std::unordered_set<std::string> *known = nullptr;
                    if (os_.text_key) {
                        auto found = tables_.hierarchy.find(os_.text);
                        if (found != tables_.hierarchy.end()) known = &found->second;
                    }
                    std::vector<std::string> kept;
                    for (const std::string &candidate : tokens.platforms)
                        if (known && known->count(candidate)) kept.push_back(candidate);
                    now = joined(kept);
                } else {
                    now = tokens.platforms.front();
                }
                if (!now.empty()) {
                    line("devices.", name, ".platform: ");
                    out_.lines.append(platform).append(" -> ").append(now);
                    out_.lines += '\n';
                } else {
                    tokens = Tokens{};
                    tokens.unknown = true;
                }
            }
            if (tokens.has_model) {
                uint32_t model_at = get(dev, "model");
                Shown model = model_at == none ? Shown{} : shown(model_at);
                line("devices.", name, ".model: ");
                if (model.truthy) out_.lines.append(model.text).append(" -> ");
                out_.lines.append(tokens.model);
                out_.lines += '\n';
            }
            if (tokens.has_submodel) {
                line("devices.", name, ".model: ");
                out_.lines.append(tokens.submodel);
                out_.lines += '\n';
            }
            if (tokens.has_pid) {
                line("devices.", name, ".pid: ");
                out_.lines.append(tokens.pid);
                out_.lines += '\n';
            }
            if (tokens.unknown) {
                Shown os_ = os();
                line("devices.", name, ".platform: Please ensure \"");
                out_.lines.append(platform).append("\" is a valid ").append(os_.text);
                out_.lines.append(" platform\n");
            }
        }
    }
};

}  // namespace

YamlCheck check_yaml_text(std::string_view text, const TokenTable &tokens, YamlTree *kept,
                          const std::atomic<bool> *stop) {
    YamlCheck out;
    YamlTree own;
    YamlTree &tree = kept ? *kept : own;
    switch (tree.read(text, kept != nullptr, stop)) {
    case YamlTree::Read::TooDeep:
        out.outcome = YamlCheck::Outcome::TooDeep;
        return out;
    case YamlTree::Read::Refused:
        return out;  // the loaders' own error path
    case YamlTree::Read::Empty:
        out.within_depth = true;
        out.outcome = YamlCheck::Outcome::NoMessage;  // loads as None
        return out;
    case YamlTree::Read::Document:
        out.within_depth = true;
        break;
    }
    if (!tree.safe_load()) return out;
    const Node &root = tree.root();
    if (root.kind == Kind::Mapping) {  // anything else counts as an empty mapping
        try {
            Checker(tree, tokens, out).run(root);
        } catch (const HandOver &) {
            out.lines.clear();
            out.pids.clear();
            return out;
        }
    }
    out.outcome = out.lines.empty() ? YamlCheck::Outcome::NoMessage : YamlCheck::Outcome::Message;
    return out;
}

}  // namespace tavox::cli::commands::migrate::abstract
