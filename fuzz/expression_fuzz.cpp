// Log expressions: any expression against any line must convert or be refused, evaluate within
// its stack, and give the same answer converted once as converted for the line.
// Input: one flag byte (bit 0 case-sensitive, bit 1 whole word), the expression, a NUL, the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "expr/compiled_expression.h"
#include "expr/rpolish.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    int caseSensitive = data[0] & 1;
    int wholeWord = (data[0] >> 1) & 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t rest = size - 1;
    const void* nul = std::memchr(text, '\0', rest);
    size_t exprLength = nul != nullptr ? static_cast<const char*>(nul) - text : rest;
    String expr(text, static_cast<int>(exprLength));
    String line;
    if (exprLength < rest)
        line = String(text + exprLength + 1, static_cast<int>(rest - exprLength - 1));

    int once = SearchForExpression(line, expr, caseSensitive, wholeWord);
    CompiledExpression compiled;
    String error;
    compiled.Compile(expr, caseSensitive, wholeWord, error);
    if (compiled.Evaluate(line.Data(), line.Length()) != once) abort();
    if (compiled.Evaluate(line.Data(), line.Length()) != once) abort();  // reused stack
    return 0;
}
