#include "app/posix_settings_table.h"

#include "app/posix_report.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Row = std::vector<std::string>;

// Display width of UTF-8 text, East Asian scripts counting two columns.
size_t Columns(const std::string& text) {
    size_t columns = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) == 0x80) continue;  // continuation byte
        columns += c >= 0xE1 ? 2 : 1;      // U+1100 and above start at 0xE1
    }
    return columns;
}

void PrintTable(FILE* out, const std::vector<Row>& rows) {
    std::vector<size_t> widths;
    for (const Row& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Columns(row[i]));
    }
    for (const Row& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(widths[i] - Columns(row[i]) + 2, ' ');
        }
        fprintf(out, "%s\n", line.c_str());
    }
}

std::string OrDash(const WCHAR* text) { return text[0] != 0 ? Utf8(text) : "-"; }

const char* FormatName(int32_t index) {
    static const char* const kNames[] = {"BMP", "PNG", "JPEG", "GIF", "WebP"};
    return index >= 0 && index < 5 ? kNames[index] : nullptr;
}

// The stored code as the layout it gives; codes off the list give 4:2:0.
std::string SamplingName(int32_t code) {
    if (code == 1) return "4:2:2";
    if (code == 2) return "4:4:4";
    if (code == 0) return "4:2:0";
    return "4:2:0 (stored as " + std::to_string(code) + ")";
}

}  // namespace

void PrintSettings(FILE* out, const WCHAR* path, const AppSettings& settings, bool changed) {
    fprintf(out, "Settings file: %s%s\n", Utf8(path).c_str(), changed ? " (with this command line's options)" : "");
    std::vector<Row> rows{{"slot", "size", "folder", "sub-folder", "suffix"}};
    for (int i = 0; i < kSlotCount; ++i) {
        const OutputSlot& slot = settings.slots[i];
        if (!slot.enabled) continue;
        std::string size = std::to_string(slot.width) + "x" + std::to_string(slot.height);
        if (slot.width <= 0 || slot.height <= 0) size += " (gives nothing)";
        const std::string folder = slot.folder[0] != 0 ? Utf8(slot.folder) : "(the first picture's folder)";
        const std::string subfolder = slot.useSubfolder ? OrDash(slot.subfolder) : "-";
        rows.push_back({std::to_string(i + 1), size, folder, subfolder, OrDash(slot.suffix)});
    }
    if (rows.size() == 1) {
        fputs("No slot is enabled.\n", out);
    } else {
        PrintTable(out, rows);
    }
    const char* format = FormatName(settings.DrctCvt);
    if (format != nullptr) {
        fprintf(out, "Format: %s\n", format);
    } else {
        fprintf(out, "Format: none (DrctCvt=%d): nothing is converted\n", settings.DrctCvt);
    }
    std::string limit = "no size limit";
    if (settings.Limit) limit = "at most " + std::to_string(settings.LmtVal) + " KiB (the quality is chosen to fit)";
    fprintf(out, "JPEG: quality %d, sampling %s, %s\n", settings.Quality, SamplingName(settings.Sampling).c_str(),
            limit.c_str());
    fprintf(out, "Photos: %s, %s\n", settings.AutoRot ? "turned upright by their EXIF orientation" : "used as stored",
            settings.ToSRGB ? "colours converted from an embedded profile to sRGB" : "colours used as stored");
    if (settings.UseSpi) {
        fprintf(out, "Plug-ins: %s\n", Utf8(settings.SpiPath).c_str());
    } else {
        fputs("Plug-ins: off\n", out);
    }
}
