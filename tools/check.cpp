#include <fmt/format.h>

#include "tools/commands.h"
#include "tools/survey.h"

namespace dace_tool {

// Reads the image as it lies, without mounting it: what the library does not
// verify at run time (every root copy, every chain, every data CRC).
int cmd_check(Output &o, const Image &img, bool verbose) {
    Progress bar(o, "check", 1000);
    const Survey sv = survey_image(img.bytes, img.params(), [&](uint64_t done, uint64_t total) {
        bar.update(total > 0 ? done * 1000 / total : 0);
    });
    const RootLog *root = sv.root();
    uint32_t counts[7] = {};
    for (ClusKind k : sv.kind)
        ++counts[static_cast<int>(k)];
    const int status = sv.problems.empty() ? 0 : 1;

    if (o.json) {
        nlohmann::json j{{"clean", sv.problems.empty()},
                         {"problems", sv.problems},
                         {"notes", sv.notes},
                         {"files", sv.files.size()},
                         {"data_clusters_checked", sv.data_clusters_checked},
                         {"clusters",
                          {{"total", sv.clus_count},
                           {"root", counts[int(ClusKind::Root)]},
                           {"earlier_root", counts[int(ClusKind::OldRoot)]},
                           {"file", counts[int(ClusKind::File)]},
                           {"free", counts[int(ClusKind::Free)]},
                           {"to_erase", counts[int(ClusKind::Stale)]},
                           {"bad", counts[int(ClusKind::Bad)]},
                           {"missing", counts[int(ClusKind::Missing)]}}}};
        if (root != nullptr)
            j["root"] = {{"cluster", root->clus},
                         {"generation", root->seq()},
                         {"page", root->page()},
                         {"valid_copies", root->last_valid + 1}};
        print_json(o, j);
        return status;
    }
    if (verbose) {
        for (const RootLog &log : sv.roots) {
            std::string pages;
            for (int i = 0; i <= log.last_valid; ++i)
                pages += fmt::format("{}{}", i ? "," : "", log.copies[size_t(i)].page);
            const RootCopy &end = log.copies.back();
            o.out << fmt::format("root log of cluster {}{}: generation {}, valid copies at pages {}; the run ends at "
                                 "page {}{}\n",
                                 log.clus, &log == root ? " (in force)" : "", log.seq(), pages.empty() ? "none" : pages,
                                 log.end_page,
                                 end.verdict == DACE_COPY_VALID ? std::string(" (cluster full)")
                                 : end.verdict == DACE_COPY_NO_MARK
                                     ? std::string(log.tail_blank ? " (erased)" : " (not erased)")
                                     : fmt::format(" (copy there: {})", describe_copy(end.verdict)));
        }
    }
    for (const std::string &p : sv.problems)
        o.out << "problem: " << p << '\n';
    for (const std::string &n : sv.notes)
        o.out << "note: " << n << '\n';
    if (root != nullptr)
        o.out << fmt::format("root: cluster {}, generation {}, copy at page {}, {} valid cop{} in its log\n",
                             root->clus, root->seq(), root->copies[size_t(root->last_valid)].page,
                             root->last_valid + 1, root->last_valid == 0 ? "y" : "ies");
    o.out << fmt::format("clusters: {} file, {} free, {} to erase, {} earlier root, {} bad, {}of {}\n",
                         counts[int(ClusKind::File)], counts[int(ClusKind::Free)], counts[int(ClusKind::Stale)],
                         counts[int(ClusKind::OldRoot)], counts[int(ClusKind::Bad)],
                         sv.cut_short() ? fmt::format("{} missing, ", counts[int(ClusKind::Missing)]) : std::string(),
                         sv.clus_count);
    o.out << fmt::format("{}: {} problem{}, {} file{}, {} data cluster{} checked\n",
                         sv.problems.empty() ? "clean" : "NOT CLEAN", sv.problems.size(),
                         sv.problems.size() == 1 ? "" : "s", sv.files.size(), sv.files.size() == 1 ? "" : "s",
                         sv.data_clusters_checked, sv.data_clusters_checked == 1 ? "" : "s");
    return status;
}

} // namespace dace_tool
