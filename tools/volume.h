// The volume every host user mounts: the tool's commands, `dace mount` and
// the Python package. A Volume is the library mounted on a medium
// (medium.h): the tool's image medium, or the simulator the Python package
// puts behind the same interface. Here too are what the hosts share about
// a mounted volume: the stamps its changes give entries, and the rule by
// which a file takes another's name.
#ifndef DACE_TOOLS_VOLUME_H
#define DACE_TOOLS_VOLUME_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dace/dace.h"
#include "tools/image.h"
#include "tools/image_file.h"
#include "tools/medium.h"

namespace dace_tool {

// Entry stamps: what the hosts' update_fn writes.
struct StampSource {
    std::optional<uint64_t> value; // unset: leave the stamp as it is
};
// Unix time in nanoseconds, or SOURCE_DATE_EPOCH when it is set.
uint64_t now_stamp();

// Sets the stamp that the library's update callback gives the entries a
// change touches, for the length of one operation; other changes (a
// rename) leave the stamps as they are.
class Stamping {
public:
    explicit Stamping(StampSource &source, uint64_t value = now_stamp()) : source_(source) { source_.value = value; }
    Stamping(const Stamping &) = delete;
    Stamping &operator=(const Stamping &) = delete;
    ~Stamping() { source_.value.reset(); }

private:
    StampSource &source_;
};

// How a Volume mounts its medium.
enum class Mounting : uint8_t {
    // dace_mount, on a medium that refuses every program and erase: what a
    // reading command or a read-only mount uses, so that nothing it does can
    // change the medium.
    Read,
    // dace_mount on the medium as it is: a change is made only to a volume
    // that is there, never to a blank medium, other data or a first format
    // cut short, which dace_init would format.
    Change,
    // dace_format: an empty volume, whatever the medium holds.
    Format,
};

// How a Volume on an image starts and where its changes go besides its
// memory.
struct VolumeOptions {
    Mounting mounting = Mounting::Change;
    // Every program and erase also reaches this file at once, the medium
    // starting at `mirror_origin` (the mount included), so the file always
    // holds the medium as the library left it; a failed file write fails
    // the medium call.
    int mirror_fd = -1;
    uint64_t mirror_origin = 0;
    // Keep every program and erase, for write_in_place.
    bool journal = false;
    // The image may be cut short: the pages past its end read erased, so
    // that what is intact can be read (ImageMedium). Only for reading: a
    // change must never be saved from such a volume.
    bool missing_reads_erased = false;
};

// A mounted medium.
class Volume {
public:
    // Mounts `medium`, which has the size `params` gives, as `how` says. A
    // mount the library refuses is a LibraryError with dace_init_error's
    // reason; it changed nothing on the medium, except what a format did.
    Volume(std::shared_ptr<Medium> medium, const Params &params, Mounting how);
    // Mounts `image` (total_pages × page_size bytes) on the tool's image
    // medium as `vo` says.
    Volume(std::vector<uint8_t> image, const Params &params, const VolumeOptions &vo);
    // With `must_exist`, Mounting::Change; without, Mounting::Format.
    Volume(std::vector<uint8_t> image, const Params &params, bool must_exist = true, int mirror_fd = -1)
        : Volume(std::move(image), params,
                 VolumeOptions{must_exist ? Mounting::Change : Mounting::Format, mirror_fd, 0, false, false}) {}
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    dace_state *state() { return state_; }
    const Params &params() const { return params_; }
    Medium &medium() { return *medium_; }
    const std::vector<uint8_t> &bytes() const { return medium_->bytes(); }
    StampSource &stamp() { return stamp_; }
    // The errno of the first write to the mirror file that failed since the
    // last call, or 0; the library saw that write fail as a medium fault.
    int take_mirror_error() { return medium_->take_host_error(); }

    // Every program and erase since the mount, when VolumeOptions::journal.
    const std::vector<MediumWrite> &journal() const { return medium_->journal(); }

    std::vector<dace_entry> entries();
    // Clusters of the chain starting at `clus`, as the mounted table links
    // them, newest first.
    std::vector<uint16_t> chain(uint16_t clus) const;
    uint32_t chain_length(uint16_t clus) const { return static_cast<uint32_t>(chain(clus).size()); }
    std::optional<dace_entry> stat(const std::string &name);
    // The reason of the last library call on this volume (dace_error) as an
    // error: library_error(what, reason, hint).
    LibraryError failure(const std::string &what, const std::string &hint = {}) const;

private:
    Params params_;
    std::shared_ptr<Medium> medium_;
    std::vector<uint64_t> block_;
    dace_state *state_ = nullptr;
    StampSource stamp_;
};

// How a rename by the hosts' rule came out.
enum class Renamed : uint8_t {
    Done,      // committed: the file bears the new name, and a file that bore it is gone in the same commit
    SameName,  // both names lead to the same file: nothing was done
    NoFile,    // no file bears the old name (`reason` says why the lookup found none)
    NameTaken, // another file bears the new name, and the rename was not to replace it
    NoWay,     // `make_way` refused (`result` is what it returned)
    Failed,    // the library refused or fell short (`reason`, and dace_rename_replace's `result`)
};
struct RenameOutcome {
    Renamed how = Renamed::Done;
    int reason = DACE_E_NONE;
    int result = DACE_OK;
};

// The rule by which every host gives a file another name: a name names one
// file. The library's plain rename would leave two files bearing the new
// name; here a file that bears it is refused (NameTaken) unless `replace`,
// and then dropped in the same commit as the rename (dace_rename_replace),
// so that a power cut leaves the old pair or the new name alone. Before a
// file bearing the new name is replaced, `make_way(its position)` runs, if
// given: 0 lets the rename go on (the mount takes an open file off the
// medium there). It sets no stamp: the entry keeps its own unless the
// volume's StampSource holds one.
RenameOutcome rename_by_rule(Volume &v, const std::string &from, const std::string &to, bool replace,
                             const std::function<int(int)> &make_way = {});

} // namespace dace_tool

#endif // DACE_TOOLS_VOLUME_H
