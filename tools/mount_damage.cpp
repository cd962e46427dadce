// What a survey of an image finds wrong, for `dace mount` to refuse the
// image or to show it read-only as it is.
#include "tools/mount_damage.h"

#include <algorithm>

#include <fmt/format.h>

#include "tools/survey.h"

namespace dace_tool {

std::optional<Damage> find_damage(const std::vector<uint8_t> &image, const Params &p) {
    const Survey sv = survey_image(image, p);
    if (sv.problems.empty())
        return std::nullopt;
    // What counts is the committed files: a root log left torn by a power cut
    // (a copy cut short, a root move cut short) is what the library's mount
    // expects and handles.
    const uint32_t payload = p.clus_size() - uint32_t{sizeof(dace_clus_header)};
    std::map<std::string, int> bearers;
    for (const FileChain &f : sv.files)
        ++bearers[f.name];
    Damage d;
    std::vector<std::string> hurt;
    for (const FileChain &f : sv.files) {
        const uint64_t need = (uint64_t{f.entry.size} + payload - 1) / payload;
        bool bad = f.clusters.size() != need || bearers[f.name] > 1 || dace_check_filename(f.name.c_str()) != 0;
        for (const uint16_t c : f.clusters)
            bad = bad || sv.conflict[c] != 0;
        if (f.clusters.size() < need)
            d.broken_files.emplace(f.name, f.entry.size);
        if (bad)
            hurt.push_back(f.name);
    }
    if (hurt.empty() && sv.root() != nullptr && !sv.cut_short())
        return std::nullopt;
    if (sv.cut_short()) {
        d.cut_short = true;
        d.summary = hurt.empty() ? sv.problems.front()
                                 : fmt::format("{} ({} damaged file{})", sv.problems.front(), hurt.size(),
                                               hurt.size() == 1 ? "" : "s");
        return d;
    }
    // The survey's line about the first damaged file.
    std::string line = sv.problems.front();
    if (!hurt.empty()) {
        const std::string quoted = "\"" + printable(hurt.front()) + "\"";
        const auto it = std::find_if(sv.problems.begin(), sv.problems.end(),
                                     [&](const std::string &l) { return l.find(quoted) != std::string::npos; });
        if (it != sv.problems.end())
            line = *it;
    }
    const size_t more = hurt.size() > 1 ? hurt.size() - 1 : 0;
    d.summary = more == 0 ? line : fmt::format("{} (and {} more damaged file{})", line, more, more == 1 ? "" : "s");
    return d;
}

bool extend_cut_image(const std::vector<uint8_t> &image, Params &p) {
    return size_to_read(survey_image(image, p, {}, false), p);
}

} // namespace dace_tool
