// tavox.cli.commands.migrate.abstract -- what the loaders make of a YAML
// scalar (see yaml_scalar.hpp).
#include "yaml_scalar.hpp"

#include <algorithm>
#include <string>

namespace tavox::cli::commands::migrate::abstract {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// Skips characters for which `in` holds; returns the new position.
template <typename In>
size_t skip(std::string_view v, size_t i, In in) {
    while (i < v.size() && in(v[i])) ++i;
    return i;
}

bool digit_or_underscore(char c) { return digit(c) || c == '_'; }

// One sexagesimal part after a colon, ":[0-5]?[0-9]": moves `i` past it.
// The part is followed by a colon, a full stop or the end, none of them a
// digit, so taking two digits whenever they fit is the only way to match.
bool sexagesimal(std::string_view v, size_t &i) {
    if (i < v.size() && digit(v[i])) {
        if (i + 1 < v.size() && digit(v[i + 1]) && v[i] <= '5') i += 2;
        else i += 1;
        return true;
    }
    return false;
}

// yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF
bool is_bool(std::string_view v) {
    static constexpr std::string_view words[] = {"yes",  "Yes",  "YES",  "no",    "No",    "NO",
                                                 "true", "True", "TRUE", "false", "False", "FALSE",
                                                 "on",   "On",   "ON",   "off",   "Off",   "OFF"};
    return std::find(std::begin(words), std::end(words), v) != std::end(words);
}

// ~|null|Null|NULL (the empty value is told apart before)
bool is_null(std::string_view v) { return v == "~" || v == "null" || v == "Null" || v == "NULL"; }

size_t sign_length(std::string_view v) { return !v.empty() && (v[0] == '-' || v[0] == '+'); }

//   [-+]?(?:[0-9][0-9_]*)\.[0-9_]*(?:[eE][-+][0-9]+)?
//  |\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?
//  |[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
//  |[-+]?\.(?:inf|Inf|INF)
//  |\.(?:nan|NaN|NAN)
bool is_float(std::string_view v) {
    if (v == ".nan" || v == ".NaN" || v == ".NAN") return true;
    size_t s = sign_length(v);
    std::string_view r = v.substr(s);
    if (r == ".inf" || r == ".Inf" || r == ".INF") return true;
    const size_t n = r.size();
    // The fraction and exponent that end the first two forms.
    auto fraction_to_end = [&](size_t j) {
        j = skip(r, j, digit_or_underscore);
        if (j < n && (r[j] == 'e' || r[j] == 'E')) {
            if (j + 2 > n || (r[j + 1] != '-' && r[j + 1] != '+')) return false;
            size_t k = skip(r, j + 2, digit);
            return k > j + 2 && k == n;
        }
        return j == n;
    };
    if (n >= 2 && r[0] == '.' && digit(r[1])) return s == 0 && fraction_to_end(2);
    if (n == 0 || !digit(r[0])) return false;
    size_t j = skip(r, 1, digit_or_underscore);
    if (j < n && r[j] == '.') return fraction_to_end(j + 1);
    if (j >= n || r[j] != ':') return false;
    while (j < n && r[j] == ':') {
        ++j;
        if (!sexagesimal(r, j)) return false;
    }
    if (j >= n || r[j] != '.') return false;
    return skip(r, j + 1, digit_or_underscore) == n;
}

//   [-+]?0b[0-1_]+
//  |[-+]?0[0-7_]+
//  |[-+]?(?:0|[1-9][0-9_]*)
//  |[-+]?0x[0-9a-fA-F_]+
//  |[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+
bool is_int(std::string_view v) {
    std::string_view r = v.substr(sign_length(v));
    const size_t n = r.size();
    if (n == 0) return false;
    if (r[0] == '0') {
        if (n == 1) return true;
        if (r[1] == 'b')
            return n > 2 &&
                   skip(r, 2, [](char c) { return c == '0' || c == '1' || c == '_'; }) == n;
        if (r[1] == 'x')
            return n > 2 && skip(r, 2, [](char c) {
                                return digit(c) || (c >= 'a' && c <= 'f') ||
                                       (c >= 'A' && c <= 'F') || c == '_';
                            }) == n;
        return skip(r, 1, [](char c) { return (c >= '0' && c <= '7') || c == '_'; }) == n;
    }
    if (r[0] < '1' || r[0] > '9') return false;
    size_t j = skip(r, 1, digit_or_underscore);
    if (j == n) return true;
    while (j < n) {
        if (r[j] != ':') return false;
        ++j;
        if (!sexagesimal(r, j)) return false;
    }
    return true;
}

// ---- YAML 1.2, as the round trip resolves ---------------------------------------

//   [-+]?(?:[0-9][0-9_]*)\.[0-9_]*(?:[eE][-+]?[0-9]+)?
//  |[-+]?(?:[0-9][0-9_]*)(?:[eE][-+]?[0-9]+)
//  |[-+]?\.[0-9_]+(?:[eE][-+][0-9]+)?
//  |[-+]?\.(?:inf|Inf|INF)
//  |\.(?:nan|NaN|NAN)
bool is_float_12(std::string_view v) {
    if (v == ".nan" || v == ".NaN" || v == ".NAN") return true;
    std::string_view r = v.substr(sign_length(v));
    if (r == ".inf" || r == ".Inf" || r == ".INF") return true;
    const size_t n = r.size();
    auto exponent = [&](size_t j, bool sign_required) {
        if (j >= n || (r[j] != 'e' && r[j] != 'E')) return false;
        ++j;
        if (j < n && (r[j] == '-' || r[j] == '+')) ++j;
        else if (sign_required) return false;
        size_t k = skip(r, j, digit);
        return k > j && k == n;
    };
    if (n >= 2 && r[0] == '.') {
        size_t k = skip(r, 1, digit_or_underscore);
        return k > 1 && (k == n || exponent(k, true));
    }
    if (n == 0 || !digit(r[0])) return false;
    size_t j = skip(r, 1, digit_or_underscore);
    if (j < n && r[j] == '.') {
        size_t k = skip(r, j + 1, digit_or_underscore);
        return k == n || exponent(k, false);
    }
    return exponent(j, false);
}

//   [-+]?0b[0-1_]+ |[-+]?0o?[0-7_]+ |[-+]?[0-9_]+ |[-+]?0x[0-9a-fA-F_]+
bool is_int_12(std::string_view v) {
    std::string_view r = v.substr(sign_length(v));
    if (r.empty()) return false;
    auto all = [&](size_t from, auto in) {
        return r.size() > from && skip(r, from, in) == r.size();
    };
    if (r.substr(0, 2) == "0b" && all(2, [](char c) { return c == '0' || c == '1' || c == '_'; }))
        return true;
    if (r.substr(0, 2) == "0o" &&
        all(2, [](char c) { return (c >= '0' && c <= '7') || c == '_'; }))
        return true;
    if (all(0, digit_or_underscore)) return true;
    return r.substr(0, 2) == "0x" && all(2, [](char c) {
               return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
           });
}

// The parts of a timestamp, by the two forms the resolver knows:
//   [0-9]{4}-[0-9][0-9]-[0-9][0-9]
//  |[0-9]{4}-[0-9][0-9]?-[0-9][0-9]?(?:[Tt]|[ \t]+)[0-9][0-9]?:[0-9][0-9]:[0-9][0-9]
//     (?:\.[0-9]*)?(?:[ \t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?
struct Timestamp {
    int year = 0, month = 0, day = 0;
    bool time = false;
    int hour = 0, minute = 0, second = 0;
    bool offset = false;  // a signed offset, as opposed to Z or none
    int offset_minutes = 0;
};

bool parse_timestamp(std::string_view v, Timestamp &t) {
    const size_t n = v.size();
    size_t i = 0;
    // Up to `most` digits (at least one) as a number.
    auto number = [&](size_t least, size_t most, int &out) {
        size_t start = i;
        out = 0;
        while (i < n && i - start < most && digit(v[i])) out = out * 10 + (v[i++] - '0');
        return i - start >= least;
    };
    auto expect = [&](char c) { return i < n && v[i++] == c; };
    if (!number(4, 4, t.year) || !expect('-')) return false;
    size_t month_at = i;
    if (!number(1, 2, t.month) || !expect('-')) return false;
    size_t day_at = i;
    if (!number(1, 2, t.day)) return false;
    if (i == n)
        return month_at + 3 == day_at && day_at + 2 == n;  // the date alone: two digits each
    if (v[i] == 'T' || v[i] == 't') {
        ++i;
    } else {
        size_t blanks = skip(v, i, [](char c) { return c == ' ' || c == '\t'; });
        if (blanks == i) return false;
        i = blanks;
    }
    t.time = true;
    if (!number(1, 2, t.hour) || !expect(':') || !number(2, 2, t.minute) || !expect(':') ||
        !number(2, 2, t.second))
        return false;
    if (i < n && v[i] == '.') i = skip(v, i + 1, digit);
    if (i == n) return true;
    i = skip(v, i, [](char c) { return c == ' ' || c == '\t'; });
    if (i < n && v[i] == 'Z') return i + 1 == n;
    if (i >= n || (v[i] != '-' && v[i] != '+')) return false;
    ++i;
    int hours = 0, minutes = 0;
    if (!number(1, 2, hours)) return false;
    if (i < n && v[i] == ':') {
        ++i;
        if (!number(2, 2, minutes)) return false;
    }
    t.offset = true;
    t.offset_minutes = hours * 60 + minutes;
    return i == n;
}

bool leap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// What datetime.date, datetime.datetime and datetime.timezone accept.
bool valid(const Timestamp &t) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1) return false;
    if (t.day > days[t.month - 1] + (t.month == 2 && leap(t.year))) return false;
    if (!t.time) return true;
    if (t.hour > 23 || t.minute > 59 || t.second > 59) return false;
    return !t.offset || t.offset_minutes < 24 * 60;  // strictly within a day
}

// The interpreter refuses to convert decimal texts longer than its limit
// (sys.get_int_max_str_digits(), 640 at the least): beyond this many digits
// the result depends on the process's setting.
constexpr size_t certain_decimal_digits = 640;

bool int_constructible(std::string_view v) {
    std::string d;
    d.reserve(v.size());
    for (char c : v)
        if (c != '_') d += c;
    std::string_view r(d);
    r.remove_prefix(sign_length(r));
    if (r == "0") return true;
    if (r.substr(0, 2) == "0b" || r.substr(0, 2) == "0x") return r.size() > 2;  // int("", base)
    if (r[0] == '0') return true;  // octal: no digit limit for a power of two
    size_t first_part = std::min(r.find(':'), r.size());
    return first_part <= certain_decimal_digits;
}

}  // namespace

FirstResolvers implicit_resolvers(char first) {
    using S = Scalar;
    switch (first) {
    case 'y':
    case 'Y':
    case 't':
    case 'T':
    case 'f':
    case 'F':
    case 'o':
    case 'O':
        return {{S::Bool}, 1};
    case 'n':
    case 'N':
        return {{S::Bool, S::Null}, 2};
    case '-':
    case '+':
        return {{S::Float, S::Int}, 2};
    case '.':
        return {{S::Float}, 1};
    case '<':
        return {{S::Merge}, 1};
    case '~':
    case '\0':
        return {{S::Null}, 1};
    case '=':
        return {{S::Value}, 1};
    case '!':
    case '&':
    case '*':
        return {{S::Yaml}, 1};
    default:
        if (digit(first)) return {{S::Float, S::Int, S::Timestamp}, 3};
        return {};
    }
}

namespace {

// Whether the resolver of `type` matches `v`, given that it is listed under
// v's first character.
bool resolves(Scalar type, std::string_view v) {
    switch (type) {
    case Scalar::Bool:
        return is_bool(v);
    case Scalar::Null:
        return is_null(v);
    case Scalar::Int:
        return is_int(v);
    case Scalar::Float:
        return is_float(v);
    case Scalar::Timestamp: {
        Timestamp t;
        return parse_timestamp(v, t);
    }
    case Scalar::Merge:
        return v == "<<";
    case Scalar::Value:
        return v == "=";
    case Scalar::Yaml:
        return v.size() == 1;
    default:
        return false;
    }
}

}  // namespace

Scalar resolve_plain(std::string_view v) {
    if (v.empty()) return Scalar::Null;
    // A pattern's "$" also matches before a final line break, which a plain
    // scalar never ends with; should one, the resolver is not followed here.
    if (v.back() == '\n') return Scalar::Unsure;
    for (Scalar type : implicit_resolvers(v[0]))
        if (resolves(type, v)) return type;
    return Scalar::Str;
}

// The type YAML 1.2's implicit resolvers give a plain scalar, as the round
// trip resolves it (first matching resolver listed under its first
// character).
Scalar resolve_plain_12(std::string_view v) {
    if (v.empty()) return Scalar::Null;
    switch (v[0]) {
    case 't':
    case 'T':
    case 'f':
    case 'F':
        if (v == "true" || v == "True" || v == "TRUE" || v == "false" || v == "False" ||
            v == "FALSE")
            return Scalar::Bool;
        return Scalar::Str;
    case '-':
    case '+':
        if (is_float_12(v)) return Scalar::Float;
        return is_int_12(v) ? Scalar::Int : Scalar::Str;
    case '.':
        return is_float_12(v) ? Scalar::Float : Scalar::Str;
    case '<':
        return v == "<<" ? Scalar::Merge : Scalar::Str;
    case '~':
        return v == "~" ? Scalar::Null : Scalar::Str;
    case 'n':
    case 'N':
        return v == "null" || v == "Null" || v == "NULL" ? Scalar::Null : Scalar::Str;
    case '=':
        return v == "=" ? Scalar::Value : Scalar::Str;
    case '!':
    case '&':
    case '*':
        return v.size() == 1 ? Scalar::Yaml : Scalar::Str;
    default:
        if (!digit(v[0])) return Scalar::Str;
        if (is_float_12(v)) return Scalar::Float;
        if (is_int_12(v)) return Scalar::Int;
        // The timestamp pattern is the same in both versions.
        return resolve_plain(v) == Scalar::Timestamp ? Scalar::Timestamp : Scalar::Str;
    }
}

bool constructible(Scalar type, std::string_view value) {
    switch (type) {
    case Scalar::Str:
    case Scalar::Null:
    case Scalar::Bool:
    case Scalar::Float:
        return true;
    case Scalar::Int:
        return int_constructible(value);
    case Scalar::Timestamp: {
        Timestamp t;
        return parse_timestamp(value, t) && valid(t);
    }
    default:
        return false;
    }
}

bool number_builds(Scalar type, std::string_view v) {
    std::string digits;
    for (char c : v.substr(sign_length(v)))
        if (c != '_') digits += c;
    if (type == Scalar::Float)
        return std::any_of(digits.begin(), digits.end(), digit) ||
               digits.find("inf") != std::string::npos ||
               digits.find("nan") != std::string::npos ||
               digits.find("Inf") != std::string::npos ||
               digits.find("NaN") != std::string::npos ||
               digits.find("INF") != std::string::npos || digits.find("NAN") != std::string::npos;
    std::string_view d(digits);
    if (d.substr(0, 2) == "0b" || d.substr(0, 2) == "0o" || d.substr(0, 2) == "0x")
        d.remove_prefix(2);
    return !d.empty() && d.size() <= 640;
}

bool canonical_int(std::string_view v) {
    if (v == "0") return true;
    std::string_view d = v.substr(!v.empty() && v[0] == '-');
    return !d.empty() && d.size() <= 640 && d[0] >= '1' && d[0] <= '9' &&
           std::all_of(d.begin(), d.end(), digit);
}

}  // namespace tavox::cli::commands::migrate::abstract
