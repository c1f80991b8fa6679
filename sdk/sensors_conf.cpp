#include "sdk/sensors_conf.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "sdk/kept_file.h"

namespace tqv::sdk {

namespace {

// Splits a statement line into words; quoted strings keep their blanks. False on a quote that
// never closes.
bool Words(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == ',') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string word;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    word += line[i + 1];
                    i += 2;
                } else if (line[i] == '"') {
                    closed = true;
                    ++i;
                    break;
                } else {
                    word += line[i++];
                }
            }
            if (!closed)
                return false;
            words.push_back(word);
        } else {
            std::string word;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '"' &&
                   line[i] != '#' && line[i] != ',' && line[i] != '\r') {
                word += line[i++];
            }
            words.push_back(word);
        }
    }
    return true;
}

}  // namespace

ComputeLines ComputeLines::Load(const std::string& redirected) {
    ComputeLines lines;
    std::vector<std::string> files;
    if (!redirected.empty()) {
        files.push_back(redirected);
    } else {
        files.push_back(PathExists("/etc/sensors3.conf") ? "/etc/sensors3.conf"
                                                         : "/etc/sensors.conf");
        for (const std::string& name : ListFolder("/etc/sensors.d")) {
            if (!name.empty() && name[0] != '.')
                files.push_back("/etc/sensors.d/" + name);
        }
    }
    for (const std::string& file : files) {
        if (!PathExists(file))
            continue;
        if (auto text = ReadSmallFile(file, 1 << 22))
            lines.Parse(*text);
    }
    return lines;
}

void ComputeLines::Parse(const std::string& text) {
    // Join continued lines first.
    std::string joined;
    joined.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
            joined += ' ';
            ++i;
        } else {
            joined += text[i];
        }
    }
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= joined.size()) {
        std::size_t end = joined.find('\n', start);
        if (end == std::string::npos)
            end = joined.size();
        std::string line = joined.substr(start, end - start);
        start = end + 1;
        if (!Words(line, words))
            continue;
        if (words.empty())
            continue;
        if (words[0] == "chip") {
            Block block;
            block.patterns.assign(words.begin() + 1, words.end());
            blocks_.push_back(std::move(block));
        } else if (words[0] == "compute" && words.size() >= 2 && !blocks_.empty()) {
            // compute FEATURE FROM-KERNEL , TO-KERNEL
            auto at = line.find(words[1], line.find("compute") + 7);
            std::string rest = at == std::string::npos ? "" : line.substr(at + words[1].size());
            rest = rest.substr(0, rest.find(','));
            rest = rest.substr(0, rest.find('#'));
            blocks_.back().computes.push_back({words[1], rest});
        }
    }
}

std::optional<std::string> ComputeLines::Expression(const std::string& chipName,
                                                    const std::string& feature) const {
    // As libsensors searches: from the last chip statement back, and within one from its last
    // compute line back.
    for (auto block = blocks_.rbegin(); block != blocks_.rend(); ++block) {
        bool matches = false;
        for (const std::string& pattern : block->patterns) {
            if (::fnmatch(pattern.c_str(), chipName.c_str(), 0) == 0)
                matches = true;
        }
        if (!matches)
            continue;
        for (auto compute = block->computes.rbegin(); compute != block->computes.rend();
             ++compute) {
            if (compute->feature == feature)
                return compute->expression;
        }
    }
    return std::nullopt;
}

// ---- Expressions ------------------------------------------------------------------------------

struct ComputeExpression::Node {
    char op = 0;  // 'n' number, '@' value, '+', '-', '*', '/', 'u' minus, '^' exp, '`' log
    double number = 0;
    std::shared_ptr<const Node> left, right;
};

namespace {

using NodePtr = std::shared_ptr<const ComputeExpression::Node>;

class ExpressionParser {
  public:
    explicit ExpressionParser(const std::string& text) : text_(text) {}

    NodePtr ParseAll() {
        NodePtr node = Sum();
        Skip();
        return pos_ == text_.size() ? node : nullptr;
    }

  private:
    void Skip() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t'))
            ++pos_;
    }
    bool Take(char c) {
        Skip();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    static NodePtr Make(char op, NodePtr left, NodePtr right = nullptr, double number = 0) {
        auto node = std::make_shared<ComputeExpression::Node>();
        node->op = op;
        node->left = std::move(left);
        node->right = std::move(right);
        node->number = number;
        return node;
    }
    NodePtr Sum() {
        NodePtr left = Product();
        while (left) {
            if (Take('+')) {
                left = Join('+', left, Product());
            } else if (Take('-')) {
                left = Join('-', left, Product());
            } else {
                break;
            }
        }
        return left;
    }
    NodePtr Product() {
        NodePtr left = Unary();
        while (left) {
            if (Take('*')) {
                left = Join('*', left, Unary());
            } else if (Take('/')) {
                left = Join('/', left, Unary());
            } else {
                break;
            }
        }
        return left;
    }
    static NodePtr Join(char op, NodePtr left, NodePtr right) {
        return right ? Make(op, std::move(left), std::move(right)) : nullptr;
    }
    NodePtr Unary() {
        if (++depth_ > 64)
            return nullptr;
        NodePtr node;
        if (Take('-')) {
            NodePtr inner = Unary();
            node = inner ? Make('u', inner) : nullptr;
        } else if (Take('^')) {
            NodePtr inner = Unary();
            node = inner ? Make('^', inner) : nullptr;
        } else if (Take('`')) {
            NodePtr inner = Unary();
            node = inner ? Make('`', inner) : nullptr;
        } else {
            node = Primary();
        }
        --depth_;
        return node;
    }
    NodePtr Primary() {
        if (Take('(')) {
            NodePtr inner = Sum();
            return inner && Take(')') ? inner : nullptr;
        }
        if (Take('@'))
            return Make('@', nullptr);
        Skip();
        std::size_t start = pos_;
        while (pos_ < text_.size() &&
               (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.')) {
            ++pos_;
        }
        if (pos_ == start)
            return nullptr;  // a feature name, or garbage
        double number = 0;
        if (!ParseDouble(std::string_view(text_).substr(start, pos_ - start), number)) {
            return nullptr;
        }
        return Make('n', nullptr, nullptr, number);
    }

    const std::string& text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

double Evaluate(const ComputeExpression::Node& node, double value) {
    switch (node.op) {
        case 'n':
            return node.number;
        case '@':
            return value;
        case '+':
            return Evaluate(*node.left, value) + Evaluate(*node.right, value);
        case '-':
            return Evaluate(*node.left, value) - Evaluate(*node.right, value);
        case '*':
            return Evaluate(*node.left, value) * Evaluate(*node.right, value);
        case '/':
            return Evaluate(*node.left, value) / Evaluate(*node.right, value);
        case 'u':
            return -Evaluate(*node.left, value);
        case '^':
            return std::exp(Evaluate(*node.left, value));
        case '`':
            return std::log(Evaluate(*node.left, value));
        default:
            return std::nan("");
    }
}

}  // namespace

std::optional<ComputeExpression> ComputeExpression::Parse(const std::string& text) {
    ExpressionParser parser(text);
    NodePtr root = parser.ParseAll();
    if (!root)
        return std::nullopt;
    ComputeExpression expression;
    expression.root_ = std::move(root);
    return expression;
}

double ComputeExpression::Evaluate(double value) const {
    return root_ ? tqv::sdk::Evaluate(*root_, value) : std::nan("");
}

}  // namespace tqv::sdk
