// A file's data extracted for cat, get and unpack: read verified, or with
// --salvage as it reads, with what is wrong with it.
#include "tools/extract.h"

#include <set>

#include <fmt/format.h>

#include "tools/file_ops.h"
#include "tools/reasons.h"

namespace dace_tool {

namespace {

constexpr const char *kSalvageHint = "; --salvage extracts what can be read";

// Why a read of `f` stopped at byte `done`: the cluster that holds it.
std::string stop_cause(const Image &img, const FileChain &f, size_t done) {
    const size_t payload = img.params().clus_size() - sizeof(dace_clus_header);
    const size_t k = done / payload; // clusters in file order
    if (k >= f.clusters.size())
        return fmt::format("its chain ends after {} cluster{}", f.clusters.size(), f.clusters.size() == 1 ? "" : "s");
    const uint16_t c = f.clusters[f.clusters.size() - 1 - k];
    const std::string fault = data_cluster_fault(img.bytes, img.params(), c);
    return fault.empty() ? fmt::format("cluster {} cannot be read", c) : fault;
}

} // namespace

Extracted extract(Volume &v, const Image &img, const Survey &sv, const std::string &name, bool salvage) {
    const FileChain *f = sv.file(name);
    if (f == nullptr)
        no_such_file(name);
    // One line says all: a file that the cut reached says so itself.
    const bool cut_elsewhere = img.cut_short() && f->damage.find("cut short") == std::string::npos;
    if (!f->damage.empty() && !salvage)
        throw Error(fmt::format("{}: {}{}{}", named(name), f->damage,
                                cut_elsewhere ? " (and the image is cut short)" : "", kSalvageHint));
    dace_verify_reads(v.state(), salvage ? 0 : 1);
    Extracted x;
    ReadBack r = read_through(v, name, f->entry.size);
    x.data = std::move(r.data);
    const size_t size = f->entry.size;
    if (x.data.size() < size) {
        const std::string why = fmt::format("reading stopped at byte {} of {}: {} ({})", x.data.size(), size,
                                            reason_of(r.reason).message, stop_cause(img, *f, x.data.size()));
        if (!salvage)
            throw LibraryError(fmt::format("{}: {}{}", named(name), why, kSalvageHint), r.reason);
        x.faults.push_back(why);
    }
    if (salvage) {
        std::set<std::string> told(x.faults.begin(), x.faults.end());
        auto tell = [&](const std::string &what) {
            if (told.insert(what).second)
                x.faults.push_back(what);
        };
        if (!f->damage.empty())
            tell(f->damage);
        for (auto c = f->clusters.rbegin(); c != f->clusters.rend(); ++c)
            if (const std::string fault = data_cluster_fault(img.bytes, img.params(), *c); !fault.empty())
                tell(fault + ": its bytes are written as they read");
    }
    return x;
}

int tell_faults(Output &o, const std::string &name, const Extracted &x) {
    for (const std::string &fault : x.faults)
        o.err << fmt::format("dace: {}: {}\n", named(name), fault);
    return x.faults.empty() ? 0 : 1;
}

void warn_salvage(Output &o, bool salvage) {
    if (salvage)
        o.err << "dace: --salvage: data is read without verification; damaged parts are written as they read\n";
}

} // namespace dace_tool
