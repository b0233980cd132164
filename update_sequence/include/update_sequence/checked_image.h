// SPDX-License-Identifier: MIT
// The image file an update writes, opened once and checked before the
// projector is touched.
//
// The download library finds a bad image only after the projector has been
// switched into programming mode, and sees its size through 32 bits. The
// front ends check it first, with the size the file really has: a regular
// file of more than the boot sector (which the update never writes) and no
// more than the flash. The file stays open while the update runs, so that
// the update can make sure, just before the download, that the image is the
// one that was checked and announced (the same file, size and modification
// time) and refuse one that changed.
//
// The download library reads its image by path while it programs, minutes
// after the check. A file written over in place meanwhile (a newer image
// copied over the old one) would reach the flash half old, half new, and the
// projector's checksum, summed from the bytes sent, would agree. So the
// library is handed a snapshot instead: a private copy of the checked file,
// made from the open file before the projector is touched, that nobody else
// can change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace update_sequence {

// The first sector of the flash, the boot block, is never written; file
// positions are flash offsets, so the image's own first bytes are skipped.
inline constexpr uint64_t kBootSectorSize = 0x4000;
inline constexpr uint64_t kFlashSize = 0x200000;
// The image's name, in the current directory or in a folder a program is given.
inline constexpr char kImageName[] = "tz4817.img";
// The longest image path the download takes (its path buffer holds 260
// characters with the terminating zero); a longer one is refused rather
// than cut to the name of another file.
inline constexpr size_t kMaxImagePathLength = 259;

// The image a program is given on its command line: `given` itself, or the
// tz4817.img in it when `given` is a folder; with nothing given (empty), the
// tz4817.img of the current directory.
std::string imagePathFor(const std::string &given);

// The program's paths are UTF-8 on every platform; a std::filesystem path
// made from a plain string takes the ANSI code page on Windows, which cannot
// spell every name, so paths go through this.
std::filesystem::path pathFromUtf8(const std::string &utf8);

// A private copy of the image as it was checked, for the download to read.
//
// Linux: a file with no name in the temporary folder ($TMPDIR, else /tmp),
// open in this process alone and read through /proc/self/fd/N; the system
// removes it when its last descriptor closes, also when the process is
// killed. Windows: tz4817.img in a folder of its own in the user's temporary
// folder, named by its short path in the system's ANSI code page (the
// download library's file calls take no other), held open so that no other
// program may write or delete it; removed when the snapshot goes, and one
// left by a process that died is removed at the next snapshot.
class ImageSnapshot {
public:
    ~ImageSnapshot();
    ImageSnapshot(const ImageSnapshot &) = delete;
    ImageSnapshot &operator=(const ImageSnapshot &) = delete;

    // The path to hand the download library: short, in the characters its
    // file calls take.
    const std::string &path() const { return path_; }

private:
    friend class CheckedImage;
    ImageSnapshot() = default;
    // Makes the empty private file. False with `error` set (the system's
    // words, and where) when it cannot be made or its path cannot be given.
    bool create(std::string &error);
    // Appends `size` bytes. False with `error` set.
    bool append(const char *data, size_t size, std::string &error);

    std::string path_;
    int fd_ = -1;
    std::string folder_;  // Windows: the snapshot's own folder, removed with it
};

class CheckedImage {
public:
    // Opens `path` and checks it. Never blocks on a FIFO or device of that
    // name. A path longer than kMaxImagePathLength is refused unopened.
    explicit CheckedImage(std::string path);
    ~CheckedImage();
    CheckedImage(const CheckedImage &) = delete;
    CheckedImage &operator=(const CheckedImage &) = delete;

    const std::string &path() const { return path_; }
    // The size the file had when it was checked; 0 when it could not be opened.
    uint64_t size() const { return size_; }

    // Whether the image can be written.
    bool good() const { return problem_.empty(); }
    // Why not, in one line without a line feed: "Bad file [tz4817.img]: empty
    // (0 bytes)", or for an image that is only the boot sector "Nothing to
    // write: ...". Empty when the image is good.
    const std::string &problem() const { return problem_; }

    // Whether `path` still names the file that was checked, with the size and
    // modification time it had. False with `why` set ("Bad file [tz4817.img]:
    // changed since it was checked ...") when not.
    bool unchanged(std::string &why) const;

    // A snapshot of the image, copied from the file opened and checked, in
    // blocks (never the whole image in memory). Null with `why` set when the
    // image is not good, when no private copy can be made ("Cannot make a
    // private copy of tz4817.img: ..."), or when the file was written since it
    // was checked or while it was copied ("Bad file [tz4817.img]: changed
    // since it was checked ...").
    std::unique_ptr<ImageSnapshot> snapshot(std::string &why) const;

private:
    std::string path_;
    int fd_ = -1;
    uint64_t volume_ = 0;  // with file_: which file was checked
    uint64_t file_ = 0;
    uint64_t size_ = 0;
    int64_t modified_ = 0;
    std::string problem_;
};

}  // namespace update_sequence
