// The compute lines of the user's sensors.conf, so that a feature's value can be read from its
// kept-open sysfs file and converted here instead of through libsensors (which opens, parses and
// closes the file on each read). The files are those libsensors reads: sensors3.conf (or
// sensors.conf) in the configuration folder, then /etc/sensors.d. Whatever this reading of the
// files gets wrong is caught where it is used: a feature's first value is also read through
// libsensors, and a feature whose two values differ is read through libsensors from then on.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tqv::sdk {

// A compute line's conversion from the kernel's value to the shown one ("@*2", "(@-32)/1.8"):
// numbers, the value '@', + - * /, unary minus, parentheses, '^' (e to the power) and '`'
// (natural logarithm), with libsensors' precedence. Expressions that name other features are
// not taken: those stay with libsensors.
class ComputeExpression {
  public:
    static std::optional<ComputeExpression> Parse(const std::string& text);
    double Evaluate(double value) const;

    struct Node;

  private:
    std::shared_ptr<const Node> root_;
};

class ComputeLines {
  public:
    // The lines of the configuration libsensors was initialised with: `redirected` is the file
    // given to it, or empty for its default files.
    static ComputeLines Load(const std::string& redirected);
    // Parses one file's text (exposed for tests).
    void Parse(const std::string& text);

    // The conversion (the text before the comma) of the compute line for `feature` ("fan2")
    // that libsensors applies to the chip named `chipName` ("nct6798-isa-0290"): the last one
    // that matches. None when no line applies.
    std::optional<std::string> Expression(const std::string& chipName,
                                          const std::string& feature) const;

  private:
    struct Compute {
        std::string feature;
        std::string expression;
    };
    struct Block {
        std::vector<std::string> patterns;
        std::vector<Compute> computes;
    };
    std::vector<Block> blocks_;
};

}  // namespace tqv::sdk
