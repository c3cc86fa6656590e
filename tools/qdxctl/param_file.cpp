#include "param_file.h"

#include <algorithm>
#include <cstdlib>

#include "foundation/string.h"
#include "input_file.h"

namespace {

constexpr int kMaxIndex = 1000;

}  // namespace

bool ParseParamFile(const std::string& option, ParamFile& file) {
    size_t equals = option.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == option.size()) return false;
    std::string number = option.substr(0, equals);
    file.path = option.substr(equals + 1);
    if (number.find_first_not_of("abcdefghijklmnopqrstuvwxyz_0123456789") == std::string::npos &&
        number.find_first_not_of("0123456789") != std::string::npos) {
        file.name = number;
        return true;
    }
    if (number.find_first_not_of("0123456789") != std::string::npos || number.size() > 4)
        return false;
    file.index = std::atoi(number.c_str());
    return file.index >= 1 && file.index <= kMaxIndex;
}

bool InsertParamFiles(std::vector<ParamFile> files, std::vector<std::string>& params,
                      std::string& error) {
    std::stable_sort(files.begin(), files.end(),
                     [](const ParamFile& a, const ParamFile& b) { return a.index < b.index; });
    for (const ParamFile& file : files) {
        std::string content;
        if (!ReadInputFile(file.path, kMaxParamFile, false, content, error)) {
            error = "-F: " + error;
            return false;
        }
        String encoded = qdxEncodeStrings(content.data(), static_cast<int>(content.size()));
        size_t at = static_cast<size_t>(file.index - 1);
        if (params.size() < at) params.resize(at);
        params.insert(params.begin() + static_cast<long>(at),
                      std::string(encoded.Data() ? encoded.Data() : "",
                                  static_cast<size_t>(encoded.Length())));
    }
    return true;
}
