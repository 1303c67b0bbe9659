#include "zolviai/prompts/jinja_template.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/core/text.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <deque>
#include <utility>
#include <vector>

namespace zolviai::prompts {
namespace {

[[noreturn]] void syntax_error(const std::string& message) {
    throw ValueError("Jinja2 template syntax error: " + message);
}

// One level of nesting, counted for as long as the guard lives. Parser, renderer and the
// tree's destructors all recurse by nesting, so a bound here keeps every one of them off the
// end of the stack; the words follow Python's RecursionError.
class DepthGuard {
public:
    DepthGuard(std::size_t& depth, const char* what) : depth_(depth) {
        if (depth_ >= JinjaTemplate::max_depth) {
            throw_too_deep(what);
        }
        ++depth_;
    }
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

    [[noreturn]] static void throw_too_deep(const char* what) {
        throw TemplateRecursionError("maximum recursion depth exceeded: " + std::string(what) +
                                     " nest more than " + std::to_string(JinjaTemplate::max_depth) +
                                     " deep");
    }

private:
    std::size_t& depth_;
};

constexpr const char* kBlocks = "blocks";
constexpr const char* kLookups = "look-ups in an expression";

// The rendered text so far plus `more` bytes, refused past the limit before it is allocated.
void check_room(const std::string& out, std::size_t more) {
    if (more > JinjaTemplate::max_rendered_bytes -
                   std::min(out.size(), JinjaTemplate::max_rendered_bytes)) {
        throw ValueError("the rendered template is longer than the limit of " +
                         std::to_string(JinjaTemplate::max_rendered_bytes) + " bytes");
    }
}

// ---- expressions -------------------------------------------------------------------------

struct Expr {
    enum class Kind { Name, Literal, Attr, Item } kind = Kind::Name;
    std::string name; // Name, Attr
    Value literal;    // Literal
    std::unique_ptr<Expr> base;
    std::unique_ptr<Expr> index;
    std::size_t height = 1; // of the tree under it: how deep evaluating it recurses
};

class ExprParser {
public:
    explicit ExprParser(std::string_view text) : s_(text) {}

    std::unique_ptr<Expr> parse_postfix() {
        DepthGuard guard(nesting_, kLookups); // an index is parsed by recursion
        auto expr = parse_primary();
        for (;;) {
            skip_space();
            if (peek('.')) {
                ++i_;
                skip_space();
                auto attr = std::make_unique<Expr>();
                attr->kind = Expr::Kind::Attr;
                attr->name = read_name();
                if (attr->name.empty()) {
                    syntax_error("expected a name after '.' in '" + excerpt() + "'");
                }
                attr->height = expr->height + 1;
                attr->base = std::move(expr);
                expr = std::move(attr);
            } else if (peek('[')) {
                ++i_;
                auto item = std::make_unique<Expr>();
                item->kind = Expr::Kind::Item;
                item->index = parse_postfix();
                skip_space();
                if (!peek(']')) {
                    syntax_error("expected ']' in '" + excerpt() + "'");
                }
                ++i_;
                item->height = std::max(expr->height, item->index->height) + 1;
                item->base = std::move(expr);
                expr = std::move(item);
            } else {
                return expr;
            }
            // A chain of look-ups is parsed by a loop but evaluated and freed by recursion.
            if (expr->height > JinjaTemplate::max_depth) {
                DepthGuard::throw_too_deep(kLookups);
            }
        }
    }

    // [not]* expression
    std::pair<bool, std::unique_ptr<Expr>> parse_condition() {
        bool negate = false;
        for (;;) {
            skip_space();
            const std::size_t save = i_;
            if (read_name() == "not") {
                negate = !negate;
                continue;
            }
            i_ = save;
            break;
        }
        return {negate, parse_postfix()};
    }

    void expect_end() {
        skip_space();
        if (i_ != s_.size()) {
            syntax_error("unsupported expression '" + excerpt() +
                         "' (only names, '.attr', '[index]', literals and 'not')");
        }
    }

    std::string read_name() {
        skip_space();
        const std::size_t start = i_;
        if (i_ < s_.size() && (std::isalpha(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_')) {
            ++i_;
            while (i_ < s_.size() &&
                   (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_')) {
                ++i_;
            }
        }
        return std::string(s_.substr(start, i_ - start));
    }

    void skip_space() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) {
            ++i_;
        }
    }
    bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool consume(char c) {
        skip_space();
        if (!peek(c)) {
            return false;
        }
        ++i_;
        return true;
    }
    bool at_end() {
        skip_space();
        return i_ == s_.size();
    }
    std::size_t pos() const { return i_; }

    // The expression for a message: whole when short, its start otherwise.
    std::string excerpt() const { return utf8_shorten(s_, 80); }

private:
    std::unique_ptr<Expr> parse_primary() {
        skip_space();
        auto expr = std::make_unique<Expr>();
        if (i_ >= s_.size()) {
            syntax_error("expected an expression in '" + excerpt() + "'");
        }
        const char c = s_[i_];
        if (c == '\'' || c == '"') {
            expr->kind = Expr::Kind::Literal;
            std::string text;
            ++i_;
            while (i_ < s_.size() && s_[i_] != c) {
                if (s_[i_] == '\\' && i_ + 1 < s_.size()) {
                    ++i_;
                    const char e = s_[i_];
                    text.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e);
                } else {
                    text.push_back(s_[i_]);
                }
                ++i_;
            }
            if (i_ >= s_.size()) {
                syntax_error("unterminated string in '" + excerpt() + "'");
            }
            ++i_;
            expr->literal = text;
            return expr;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '-') {
            const std::size_t start = i_++;
            while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
                ++i_;
            }
            const std::string_view digits = s_.substr(start, i_ - start);
            std::int64_t number = 0;
            const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), number);
            if (res.ec != std::errc() || res.ptr != digits.data() + digits.size()) {
                syntax_error("unsupported number '" + std::string(digits) + "' in '" + excerpt() +
                             "' (integers of 64 bits only)");
            }
            expr->kind = Expr::Kind::Literal;
            expr->literal = number;
            return expr;
        }
        const std::string name = read_name();
        if (name.empty()) {
            syntax_error("unsupported expression '" + excerpt() + "'");
        }
        if (name == "true" || name == "True" || name == "false" || name == "False") {
            expr->kind = Expr::Kind::Literal;
            expr->literal = name[0] == 't' || name[0] == 'T';
        } else if (name == "none" || name == "None") {
            expr->kind = Expr::Kind::Literal;
            expr->literal = nullptr;
        } else {
            expr->name = name;
        }
        return expr;
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::size_t nesting_ = 0;
};

} // namespace

// ---- template tree -----------------------------------------------------------------------

struct JinjaTemplate::Node {
    enum class Kind { Block, Text, Output, For, If } kind = Kind::Block;
    std::string text;                 // Text
    std::unique_ptr<Expr> expr;       // Output, For (the iterable)
    std::vector<std::string> targets; // For
    std::vector<Node> children;       // Block; For body is children[0], else children[1]
    std::vector<std::pair<bool, std::unique_ptr<Expr>>> conditions; // If: one per branch
    // If: children[i] is the body of conditions[i]; an else body is the extra last child.
};

namespace {

using Node = JinjaTemplate::Node;

struct Token {
    enum class Kind { Text, Output, Statement } kind;
    std::string text;
};

std::string normalize_newlines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            out.push_back(text[i]);
        }
    }
    if (!out.empty() && out.back() == '\n') {
        out.pop_back(); // one trailing newline of the template is dropped
    }
    return out;
}

void rstrip(std::string& s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.pop_back();
    }
}

std::vector<Token> tokenize(const std::string& src) {
    std::vector<Token> tokens;
    std::size_t pos = 0;
    bool trim_next = false;
    auto push_text = [&](std::string text) {
        if (trim_next) {
            std::size_t k = 0;
            while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) {
                ++k;
            }
            text.erase(0, k);
            trim_next = false;
        }
        tokens.push_back({Token::Kind::Text, std::move(text)});
    };
    while (pos < src.size()) {
        std::size_t start = src.find('{', pos);
        while (start != std::string::npos && start + 1 < src.size() && src[start + 1] != '{' &&
               src[start + 1] != '%' && src[start + 1] != '#') {
            start = src.find('{', start + 1);
        }
        if (start == std::string::npos || start + 1 >= src.size()) {
            push_text(src.substr(pos));
            break;
        }
        std::string text = src.substr(pos, start - pos);
        const char kind = src[start + 1];
        std::size_t inner = start + 2;
        const bool trim_before = inner < src.size() && src[inner] == '-';
        if (trim_before) {
            ++inner;
            rstrip(text);
        }
        push_text(std::move(text));
        const char* close = kind == '{' ? "}}" : kind == '%' ? "%}" : "#}";
        const std::size_t end = src.find(close, inner);
        if (end == std::string::npos) {
            syntax_error(std::string("missing '") + close + "' for the tag opened by '" +
                         src.substr(start, std::min<std::size_t>(20, src.size() - start)) + "'");
        }
        std::string body = src.substr(inner, end - inner);
        if (!body.empty() && body.back() == '-') {
            body.pop_back();
            trim_next = true;
        }
        pos = end + 2;
        if (kind == '#') {
            continue;
        }
        tokens.push_back({kind == '{' ? Token::Kind::Output : Token::Kind::Statement, body});
    }
    return tokens;
}

class TreeBuilder {
public:
    explicit TreeBuilder(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    Node build() {
        Node root;
        const std::string stop = parse_into(root, {});
        if (!stop.empty()) {
            syntax_error("unexpected '" + stop + "' with no block open");
        }
        return root;
    }

private:
    // Parses nodes into block until one of the stop words; returns the word that stopped it
    // ("" at the end of the template) and leaves its statement text in last_statement_.
    std::string parse_into(Node& block, const std::vector<std::string>& stops) {
        while (i_ < tokens_.size()) {
            Token& tok = tokens_[i_++];
            if (tok.kind == Token::Kind::Text) {
                if (!tok.text.empty()) {
                    Node n;
                    n.kind = Node::Kind::Text;
                    n.text = std::move(tok.text);
                    block.children.push_back(std::move(n));
                }
                continue;
            }
            if (tok.kind == Token::Kind::Output) {
                ExprParser p(tok.text);
                Node n;
                n.kind = Node::Kind::Output;
                n.expr = p.parse_postfix();
                p.expect_end();
                block.children.push_back(std::move(n));
                continue;
            }
            ExprParser p(tok.text);
            const std::string word = p.read_name();
            for (const auto& stop : stops) {
                if (word == stop) {
                    last_statement_ = tok.text;
                    return word;
                }
            }
            if (word == "for") {
                block.children.push_back(parse_for(p));
            } else if (word == "if") {
                block.children.push_back(parse_if(p));
            } else if (word == "endfor" || word == "endif" || word == "else" || word == "elif") {
                syntax_error("unexpected '" + word + "'");
            } else {
                syntax_error("unsupported tag '" + (word.empty() ? tok.text : word) + "'");
            }
        }
        if (!stops.empty()) {
            syntax_error("unexpected end of template, looking for '" + stops.front() + "'");
        }
        return "";
    }

    Node parse_for(ExprParser& p) {
        DepthGuard guard(depth_, kBlocks);
        Node n;
        n.kind = Node::Kind::For;
        const bool paren = p.consume('(');
        do {
            const std::string name = p.read_name();
            if (name.empty() || name == "in") {
                syntax_error("expected loop names before 'in'");
            }
            n.targets.push_back(name);
        } while (p.consume(','));
        if (paren && !p.consume(')')) {
            syntax_error("expected ')' after the loop names");
        }
        if (p.read_name() != "in") {
            syntax_error("expected 'in' in for loop");
        }
        n.expr = p.parse_postfix();
        p.expect_end();
        Node body;
        const std::string stop = parse_into(body, {"endfor", "else"});
        n.children.push_back(std::move(body));
        if (stop == "else") {
            Node else_body;
            parse_into(else_body, {"endfor"});
            n.children.push_back(std::move(else_body));
        }
        return n;
    }

    Node parse_if(ExprParser& p) {
        DepthGuard guard(depth_, kBlocks);
        Node n;
        n.kind = Node::Kind::If;
        n.conditions.push_back(p.parse_condition());
        p.expect_end();
        for (;;) {
            Node body;
            const std::string stop = parse_into(body, {"elif", "else", "endif"});
            n.children.push_back(std::move(body));
            if (stop == "endif") {
                return n;
            }
            ExprParser q(last_statement_);
            q.read_name();
            if (stop == "elif") {
                n.conditions.push_back(q.parse_condition());
                q.expect_end();
                continue;
            }
            q.expect_end();
            Node else_body;
            parse_into(else_body, {"endif"});
            n.children.push_back(std::move(else_body));
            return n;
        }
    }

    std::vector<Token> tokens_;
    std::size_t i_ = 0;
    std::string last_statement_;
    std::size_t depth_ = 0; // for/if blocks open
};

// ---- rendering ---------------------------------------------------------------------------

// A looked-up value: a pointer into the variables or loop scope, or an owned value, or
// undefined (Jinja2's Undefined, which renders as empty text).
struct Resolved {
    const Value* ptr = nullptr;
    Value owned;
    bool defined = false;
    std::string name; // what was looked up, for "'x' is undefined"

    const Value& get() const { return ptr ? *ptr : owned; }
};

class Renderer {
public:
    explicit Renderer(const Value& vars) : vars_(vars) {}

    void render(const Node& node, std::string& out) {
        switch (node.kind) {
        case Node::Kind::Block:
            for (const auto& child : node.children) {
                render(child, out);
            }
            return;
        case Node::Kind::Text:
            check_room(out, node.text.size());
            out += node.text;
            return;
        case Node::Kind::Output: {
            const Resolved r = eval(*node.expr);
            if (r.defined) {
                const Value& v = r.get();
                if (v.is_string()) {
                    const auto& text = v.get_ref<const std::string&>();
                    check_room(out, text.size());
                    out += text;
                } else {
                    python::append_repr(out, v);
                    check_room(out, 0);
                }
            }
            return;
        }
        case Node::Kind::For: {
            DepthGuard guard(depth_, kBlocks);
            render_for(node, out);
            return;
        }
        case Node::Kind::If: {
            DepthGuard guard(depth_, kBlocks);
            for (std::size_t i = 0; i < node.conditions.size(); ++i) {
                const auto& [negate, expr] = node.conditions[i];
                const Resolved r = eval(*expr);
                const bool truth = r.defined && truthy(r.get());
                if (truth != negate) {
                    render(node.children[i], out);
                    return;
                }
            }
            if (node.children.size() > node.conditions.size()) {
                render(node.children.back(), out);
            }
            return;
        }
        }
    }

private:
    Resolved eval(const Expr& e) {
        DepthGuard guard(eval_depth_, kLookups);
        Resolved r;
        switch (e.kind) {
        case Expr::Kind::Literal:
            r.owned = e.literal;
            r.defined = true;
            return r;
        case Expr::Kind::Name:
            r.name = e.name;
            for (auto it = scope_.rbegin(); it != scope_.rend(); ++it) {
                if (it->first == e.name) {
                    r.ptr = &it->second;
                    r.defined = true;
                    return r;
                }
            }
            if (vars_.is_object()) {
                if (const auto it = vars_.find(e.name); it != vars_.end()) {
                    r.ptr = &*it;
                    r.defined = true;
                }
            }
            return r;
        case Expr::Kind::Attr:
        case Expr::Kind::Item: {
            Resolved base = eval(*e.base);
            if (!base.defined) {
                throw UndefinedError("'" + base.name + "' is undefined");
            }
            Value key;
            if (e.kind == Expr::Kind::Attr) {
                key = e.name;
            } else {
                const Resolved k = eval(*e.index);
                if (!k.defined) {
                    throw UndefinedError("'" + k.name + "' is undefined");
                }
                key = k.get();
            }
            r.name = base.name + (key.is_string() ? "." + key.get<std::string>() : "[]");
            const Value& b = base.get();
            const Value* found = nullptr;
            if (b.is_object() && key.is_string()) {
                if (const auto it = b.find(key.get<std::string>()); it != b.end()) {
                    found = &*it;
                }
            } else if (b.is_array() && key.is_number_integer()) {
                auto i = key.get<std::int64_t>();
                const auto n = static_cast<std::int64_t>(b.size());
                if (i < 0) {
                    i += n;
                }
                if (i >= 0 && i < n) {
                    found = &b[static_cast<std::size_t>(i)];
                }
            }
            if (found) {
                r.defined = true;
                if (base.ptr) {
                    r.ptr = found;
                } else {
                    r.owned = *found;
                }
            }
            return r;
        }
        }
        return r;
    }

    std::vector<Value> iterate(const Resolved& r) {
        std::vector<Value> items;
        if (!r.defined) {
            return items; // iterating an undefined name gives nothing, as in Jinja2
        }
        const Value& v = r.get();
        if (v.is_array()) {
            items.assign(v.begin(), v.end());
        } else if (v.is_object()) {
            for (const auto& [key, value] : v.items()) {
                items.emplace_back(key);
            }
        } else if (v.is_string()) {
            const auto& s = v.get_ref<const std::string&>();
            for (std::size_t i = 0; i < s.size();) {
                const std::size_t len = utf8_char_length(s, i);
                items.emplace_back(s.substr(i, len));
                i += len;
            }
        } else {
            throw TypeError(std::string("'") + python_type_name(v) + "' object is not iterable");
        }
        return items;
    }

    void render_for(const Node& node, std::string& out) {
        // A list is walked where it is (nested loops would otherwise copy it once per level);
        // a map gives its keys and a text its characters.
        const Resolved r = eval(*node.expr);
        const Value* list = r.defined && r.get().is_array() ? &r.get() : nullptr;
        const std::vector<Value> made = list ? std::vector<Value>() : iterate(r);
        const std::size_t count = list ? list->size() : made.size();
        if (count == 0) {
            if (node.children.size() > 1) {
                render(node.children[1], out);
            }
            return;
        }
        const std::size_t mark = scope_.size();
        const std::size_t n = node.targets.size();
        for (std::size_t i = 0; i < n; ++i) {
            scope_.emplace_back(node.targets[i], Value());
        }
        scope_.emplace_back("loop", Value::object());
        const auto length = static_cast<std::int64_t>(count);
        for (std::int64_t k = 0; k < length; ++k) {
            const auto at = static_cast<std::size_t>(k);
            const Value& item = list ? (*list)[at] : made[at];
            if (n == 1) {
                scope_[mark].second = item;
            } else {
                if (!item.is_array() && !item.is_string()) {
                    throw TypeError(std::string("cannot unpack non-iterable ") +
                                    python_type_name(item) + " object");
                }
                const Value characters =
                    item.is_array() ? Value() : Value(iterate({nullptr, item, true, ""}));
                const Value& parts = item.is_array() ? item : characters;
                if (parts.size() < n) {
                    throw ValueError("not enough values to unpack (expected " + std::to_string(n) +
                                     ", got " + std::to_string(parts.size()) + ")");
                }
                if (parts.size() > n) {
                    throw ValueError("too many values to unpack (expected " + std::to_string(n) +
                                     ")");
                }
                for (std::size_t t = 0; t < n; ++t) {
                    scope_[mark + t].second = parts[t];
                }
            }
            Value& loop = scope_.back().second;
            loop["index"] = k + 1;
            loop["index0"] = k;
            loop["revindex"] = length - k;
            loop["revindex0"] = length - k - 1;
            loop["first"] = k == 0;
            loop["last"] = k == length - 1;
            loop["length"] = length;
            render(node.children[0], out);
        }
        scope_.resize(mark);
    }

    const Value& vars_;
    // Loop names, innermost last. A deque, so that a value looked up in an outer loop's
    // scope stays where it is while inner loops add theirs.
    std::deque<std::pair<std::string, Value>> scope_;
    std::size_t depth_ = 0;      // for/if blocks being rendered
    std::size_t eval_depth_ = 0; // look-ups being evaluated
};

} // namespace

JinjaTemplate::JinjaTemplate(std::string_view text)
    : root_(std::make_unique<Node>(TreeBuilder(tokenize(normalize_newlines(text))).build())) {}

JinjaTemplate::~JinjaTemplate() = default;
JinjaTemplate::JinjaTemplate(JinjaTemplate&&) noexcept = default;
JinjaTemplate& JinjaTemplate::operator=(JinjaTemplate&&) noexcept = default;

std::string JinjaTemplate::render(const Value& vars) const {
    std::string out;
    Renderer(vars).render(*root_, out);
    return out;
}

std::string render_jinja(std::string_view text, const Value& vars) {
    return JinjaTemplate(text).render(vars);
}

} // namespace zolviai::prompts
