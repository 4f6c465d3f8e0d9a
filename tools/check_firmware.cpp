// Checks the six firmware images that the build is about to embed, whether
// generated or given: each file present, of its exact size, with a version
// field of the form digit '.' digit digit where the updater reads one.
// Every problem is reported with the file it concerns; any problem fails.
//
//   q9-check-firmware IMAGE_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/firmware_layout.h"

namespace {

std::string Hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string Describe(const std::uint8_t* bytes)
{
    std::string quoted = "\"";
    std::string hex;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t byte = bytes[i];
        quoted += (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') ? static_cast<char>(byte) : '?';
        char pair[4];
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", byte);
        hex += pair;
    }
    return quoted + "\" (" + hex + ")";
}

// The problems of one image, as texts; none when it is right.
std::vector<std::string> Check(const std::filesystem::path& path, const ImageInfo& info)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return {"missing (image " + std::to_string(info.id) + ")"};
    const std::uintmax_t length = std::filesystem::file_size(path, error);
    std::ifstream in(path, std::ios::binary);
    if (error || !in) return {"cannot be read"};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.gcount() != static_cast<std::streamsize>(bytes.size())) return {"cannot be read"};

    std::vector<std::string> problems;
    if (bytes.size() != info.size) {
        problems.push_back("wrong size: " + std::to_string(bytes.size()) + " bytes, expected " +
                           std::to_string(info.size) + " (" + Hex(info.size) + ")");
    }
    if (info.version != nullptr) {
        if (bytes.size() < std::size_t{info.versionOffset} + 4) {
            problems.push_back("too short for its version field at offset " + Hex(info.versionOffset));
        } else if (!firmware::IsVersionField(&bytes[info.versionOffset])) {
            problems.push_back("bad version field at offset " + Hex(info.versionOffset) + ": " +
                               Describe(&bytes[info.versionOffset]) + ", expected digit '.' digit digit");
        }
    }
    return problems;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s IMAGE_DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    int count = 0;
    for (const ImageInfo& info : kImages) {
        const std::filesystem::path path = dir / firmware::ImageFileName(info.id);
        for (const std::string& problem : Check(path, info)) {
            std::fprintf(stderr, "firmware image %s: %s\n", path.string().c_str(), problem.c_str());
            ++count;
        }
    }
    if (count != 0) {
        std::fprintf(stderr, "firmware check failed: %d problem(s) in %s\n", count, dir.string().c_str());
        return 1;
    }
    return 0;
}
