// Any bytes as what a counter sent the setup tool after a type, size or
// calibration command. The tool takes a model only when it is a supported
// one, and numbers only from a reply whose checksum passes; and the sizes
// command it would build from numbers it read passes the same checksum test
// and reads back as the sizes the counter would hold.
#include "platform/Environment.h"
#include "setup/CSensorLink.h"
#include "setup/NumberText.h"
#include "setup/SupportedModels.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "setup reply: %s\n", what);
    std::abort();
}

// A registry of the run's own that lists the default model, so that a type
// reply can name a supported model.
struct Registry {
    std::filesystem::path folder;
    Registry() {
        folder = std::filesystem::temp_directory_path() /
                 ("vok-fuzz-registry-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(folder);
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", folder.string().c_str());
        if (!supportedmodels::EnsureDefaults()) Fault("the registry of the run cannot be written");
    }
    ~Registry() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Registry registry;
    const std::string_view reply(reinterpret_cast<const char*>(data), size);

    std::string model;
    if (CSensorLink::ModelFromReply(reply, model)) {
        if (model.empty() || model != supportedmodels::Trimmed(model)) Fault("a model kept its blanks");
    }

    std::vector<double> numbers;
    if (!CSensorLink::NumbersFromReply(reply, numbers)) {
        if (!numbers.empty()) Fault("a refused reply left numbers");
        return 0;
    }
    if (numbers.empty()) Fault("a reply was taken without numbers");
    const std::vector<SetupCalPt> points = numbertext::CalPointsFromNumbers(numbers);
    if (points.size() != numbers.size() / 2) Fault("calibration pairs miscounted");
    (void)numbertext::CalCommandText(points);

    // The sizes as the tool would send them back and read them again.
    std::vector<double> sizes;
    for (double number : numbers)
        if (std::isfinite(number)) sizes.push_back(number);
    if (sizes.empty()) return 0;
    const std::string command = numbertext::SizesCommandText(sizes);
    if (!numbertext::ReplyChecksumPasses(command)) Fault("the tool's own sizes command fails its checksum");
    const std::vector<double> back = numbertext::ReplyNumbers(command);
    if (back.size() != sizes.size()) Fault("the sizes command reads back to another count");
    for (std::size_t i = 0; i < sizes.size(); ++i)
        if (back[i] != numbertext::LeadingNumber(numbertext::SizeText(sizes[i])))
            Fault("a size reads back as another number than its text");
    return 0;
}
