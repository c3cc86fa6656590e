#include "expr/compiled_expression.h"

#include <string>
#include <unordered_map>
#include <utility>

CompiledExpression::CompiledExpression() : stack_(new BoolStack(0)) {}

CompiledExpression::~CompiledExpression() = default;

bool CompiledExpression::Compile(const String& expr, int caseSensitive, int wholeWord,
                                 String& error) {
    program_.clear();
    operands_.clear();
    raises_.clear();
    wellFormed_ = false;
    trueWithoutOperands_ = false;

    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    String copy(expr);
    if (!parser.Expr2Polish(copy)) {
        error = parser.ErrorText;
        stack_.reset(new BoolStack(0));
        return false;
    }

    std::unordered_map<std::string, int> seen;
    int depth = 0;
    bool underflow = false;
    for (int i = 0; i < parser.Polish.Count(); i++) {
        String entry = parser.Polish[i];
        Step step{Step::Operand, -1};
        if (entry == "not") {
            step.kind = Step::Not;
            underflow |= depth < 1;
        } else if (entry == "or" || entry == "and") {
            step.kind = entry == "or" ? Step::Or : Step::And;
            underflow |= depth < 2;
            depth--;
        } else {
            // The quotes go: the first and the last byte, whatever they are.
            String inner = entry.Copy(2, entry.Length() - 2);
            TextNeedle needle(inner.Data(), inner.Length(), caseSensitive, wholeWord);
            auto [it, added] = seen.emplace(needle.Bytes(), static_cast<int>(operands_.size()));
            if (added) operands_.push_back(std::move(needle));
            step.operand = it->second;
            depth++;
        }
        program_.push_back(step);
    }
    wellFormed_ = !underflow && depth == 1;
    stack_.reset(new BoolStack(parser.Polish.Count() + 2));
    trueWithoutOperands_ = Run([](int) { return 0; }) == 1;
    FindRaisingOperands();
    error = wellFormed_ ? "" : NotWellFormed(parser.Polish, underflow);
    return wellFormed_;
}

String CompiledExpression::NotWellFormed(const TStrList& polish, bool underflow) {
    if (polish.Count() == 0) return "Empty expression";
    if (underflow) return "An operator lacks an operand";
    for (int i = 0; i < polish.Count(); i++)
        if (polish[i] == "(") return "Missing \")\"";
    return "Operands without an operator between them";
}

// Walks the expression tree from its root, flipping the sign at every "not". Iterative: a long
// chain of "not" must not exhaust the thread's stack.
void CompiledExpression::FindRaisingOperands() {
    raises_.assign(operands_.size(), false);
    if (!wellFormed_) return;
    struct Node {
        int step;
        int left = -1, right = -1;
    };
    std::vector<Node> nodes;
    std::vector<int> pending;
    for (int i = 0; i < static_cast<int>(program_.size()); i++) {
        Node node{i};
        if (program_[i].kind == Step::Not) {
            node.left = pending.back();
            pending.pop_back();
        } else if (program_[i].kind != Step::Operand) {
            node.right = pending.back();
            pending.pop_back();
            node.left = pending.back();
            pending.pop_back();
        }
        nodes.push_back(node);
        pending.push_back(static_cast<int>(nodes.size()) - 1);
    }
    std::vector<std::pair<int, bool>> walk = {{pending.back(), true}};
    while (!walk.empty()) {
        auto [index, positive] = walk.back();
        walk.pop_back();
        const Node& node = nodes[index];
        const Step& step = program_[node.step];
        if (step.kind == Step::Operand) {
            if (positive) raises_[step.operand] = true;
            continue;
        }
        bool childSign = step.kind == Step::Not ? !positive : positive;
        walk.push_back({node.left, childSign});
        if (node.right >= 0) walk.push_back({node.right, childSign});
    }
}

template <typename OperandValue>
int CompiledExpression::Run(OperandValue value) {
    if (!wellFormed_) return 0;
    BoolStack& stack = *stack_;
    stack.Clear();
    for (const Step& step : program_) {
        switch (step.kind) {
            case Step::Operand:
                stack.Push(value(step.operand));
                break;
            case Step::Not:
                stack.Not();
                break;
            case Step::And:
                stack.And();
                break;
            case Step::Or:
                stack.Or();
                break;
        }
    }
    return stack.Count() == 1 && stack.Pop() == 1 && !stack.Error();
}

int CompiledExpression::Evaluate(const LineView& line) {
    return Run([&](int operand) { return operands_[operand].Find(line) >= 1 ? 1 : 0; });
}

int CompiledExpression::Evaluate(const char* data, int length) {
    LineView line{data, nullptr, length};
    if (NeedsLowerCase() && length > 0) {
        lowered_.resize(static_cast<size_t>(length));
        LowerAscii(data, lowered_.data(), lowered_.size());
        line.lower = lowered_.data();
    }
    return Evaluate(line);
}

int CompiledExpression::Evaluate(const NeedleProgress* progress) {
    return Run([&](int operand) { return progress[operand].found >= 0 ? 1 : 0; });
}

bool CompiledExpression::NeedsLowerCase() const {
    for (const TextNeedle& needle : operands_)
        if (needle.IgnoresCase()) return true;
    return false;
}

bool CheckExpression(const String& expr, String& reason) {
    CompiledExpression compiled;
    return compiled.Compile(expr, 1, 0, reason);
}
