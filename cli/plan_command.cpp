// `plan`: the update plan and the carried versions, as text or as one event.
#include "cli/cli_output.h"

#include "cli/json.h"
#include "cli/progress.h"
#include "update/image_plan.h"
#include "update/protocol.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// The version field of a carried image as text ("(missing)" without the image).
std::string CarriedVersion(const ImageInfo& image)
{
    char text[5] = {};
    if (LoadImageBytes(image.id, image.versionOffset, 4, text) != 0) return "(missing)";
    std::string out;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c <= 0x7E) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

}  // namespace

int RunPlan(const CliOptions& options)
{
    static constexpr const char* kVersionOrder[] = {"SYSTEM", "PRESET", "BOOT", "SUBMCU"};
    if (options.json) {
        JsonArray rows;
        for (int n = 1; n <= static_cast<int>(kImagePlan.size()); ++n) {
            const RowInfo row = DescribeRow(n);
            JsonObject object;
            object.Add("row", n).Add("kind", row.write ? "write" : "erase").Add("address", row.address);
            object.Add("length", row.length);
            if (row.write) {
                object.Add("image", row.imageId).Add("blocks", row.blocks).Add("lastBlock", row.lastBlock);
                if (row.length == 0) object.Add("missing", true);
            }
            rows.AddRaw(object.Text());
        }
        JsonArray versions;
        for (const char* label : kVersionOrder) {
            for (const ImageInfo& image : kImages) {
                if (image.label == nullptr || std::strcmp(image.label, label) != 0) continue;
                char text[5] = {};
                const bool found = LoadImageBytes(image.id, image.versionOffset, 4, text) == 0;
                JsonObject object;
                object.Add("label", label).Add("image", image.id).Add("offset", image.versionOffset);
                object.Add("address", image.versionAddress);
                if (found) {
                    object.Add("version", std::string(text));
                } else {
                    object.AddNull("version");
                }
                versions.AddRaw(object.Text());
            }
        }
        Emit(JsonObject()
                 .Add("event", "plan")
                 .AddRaw("rows", rows.Text())
                 .Add("writeBytes", static_cast<std::int64_t>(PlanWriteBytes()))
                 .AddRaw("versions", versions.Text())
                 .Text());
        Emit(JsonObject().Add("event", "result").Add("command", "plan").Add("ok", true).Add("exit", kExitOk).Text());
        return kExitOk;
    }

    std::printf("Update plan (%zu rows):\n", kImagePlan.size());
    std::printf("Row  Kind   Address   Bytes     Image  Blocks\n");
    for (int n = 1; n <= static_cast<int>(kImagePlan.size()); ++n) {
        const RowInfo row = DescribeRow(n);
        if (!row.write) {
            std::printf("%3d  erase  %s  %8" PRIu32 "\n", n, Hex(row.address).c_str(), row.length);
        } else if (row.length == 0) {
            std::printf("%3d  write  %s  (image %" PRIu32 " is missing)\n", n, Hex(row.address).c_str(), row.imageId);
        } else {
            std::printf("%3d  write  %s  %8" PRIu32 "  %5" PRIu32 "  %6" PRIu32, n, Hex(row.address).c_str(),
                        row.length, row.imageId, row.blocks);
            if (row.lastBlock != kMaxBlock) std::printf(" (last block %" PRIu32 " bytes)", row.lastBlock);
            std::printf("\n");
        }
    }
    std::printf("Bytes written in all: %llu\n", static_cast<unsigned long long>(PlanWriteBytes()));
    std::printf("\nCarried versions:\n");
    for (const char* label : kVersionOrder) {
        for (const ImageInfo& image : kImages) {
            if (image.label == nullptr || std::strcmp(image.label, label) != 0) continue;
            std::printf("  %-7s %s  (image %" PRIu32 ", flash %s)\n", label, CarriedVersion(image).c_str(), image.id,
                        Hex(image.versionAddress).c_str());
        }
    }
    std::fflush(stdout);
    return kExitOk;
}

