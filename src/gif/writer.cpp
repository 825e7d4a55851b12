// The GIF writer: one packed DIB of 1, 4 or 8 bits per pixel becomes a single-image GIF file,
// version 87a, or 89a with a graphic control extension when transparency is asked for.
//
// The file is first written under a fresh temporary name in the target's directory and renamed
// over the target only once everything is written, so a failed or cancelled write leaves
// whatever was there before untouched and no partial file behind.
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "frame/request.h"
#include "gif/gif_lzw_encoder.h"
#include "gif/gif_writer.h"

namespace qor {
namespace {

constexpr auto kOk = static_cast<std::int16_t>(QOR_OK);
constexpr auto kBadRequest = static_cast<std::int16_t>(QOR_BAD_REQUEST);
constexpr auto kNoMemory = static_cast<std::int16_t>(QOR_NO_MEMORY);
constexpr auto kCreateFailed = static_cast<std::int16_t>(QOR_CREATE_FAILED);
constexpr auto kWriteFailed = static_cast<std::int16_t>(QOR_WRITE_FAILED);

constexpr std::int32_t kMaxSide = 32767;

std::uint32_t LoadU32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void StoreU16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
}

bool WriteAll(plat::HFILE file, const void* data, std::uint32_t count) {
    return plat::_lwrite(file, data, count) == static_cast<std::int32_t>(count);
}

// ---- The output file and its temporary stand-in ----

// A file name that no other writer, in this process or another, picks at the same time.
std::string TemporaryName(const std::filesystem::path& directory) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
    x ^= static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    x ^= reinterpret_cast<std::uintptr_t>(&counter) << 16;
    // Finalise (splitmix64) so that neighbouring inputs give unrelated names.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = ".qorimg-";
    for (int i = 60; i >= 0; i -= 4) name += kHex[(x >> i) & 15];
    name += ".tmp";
    return (directory / name).string();
}

struct OutputFile {
    std::string target;     // the name the finished file gets (symbolic links resolved)
    std::string temporary;  // where it is written until then
    bool replaces = false;  // a file of the target's name exists
    bool direct = false;    // written in place (a device or a pipe)
    plat::HFILE file = plat::HFILE_ERROR;
};

// Creates the temporary file beside the target. Returns false (status QOR_CREATE_FAILED) when
// the target cannot be replaced or the temporary file cannot be created.
bool CreateOutputFile(const char* fileName, OutputFile* out) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target(fileName);
    // Writing to a symbolic link writes the file it names, as writing in place would.
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        fs::path resolved = fs::canonical(target, ec);
        if (!ec) target = resolved;
    }
    out->target = target.string();
    fs::file_status status = fs::status(target, ec);
    out->replaces = fs::exists(status);
    if (out->replaces && !fs::is_regular_file(status) && !fs::is_directory(status)) {
        // A device or a pipe is written in place: it holds nothing to keep, and renaming a
        // file over it would replace the device itself.
        out->direct = true;
        out->temporary = out->target;
        out->file = plat::_lcreat(out->target.c_str(), 0);
        return out->file != plat::HFILE_ERROR;
    }
    if (out->replaces) {
        // A file we could not open for writing (read-only, a directory) is not replaced.
        plat::HFILE probe = plat::_lopen(out->target.c_str(), 1);
        if (probe == plat::HFILE_ERROR) return false;
        plat::_lclose(probe);
    }
    fs::path directory = target.parent_path();
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = TemporaryName(directory);
        if (fs::exists(fs::symlink_status(name, ec))) continue;
        out->temporary = name;
        out->file = plat::_lcreat(name.c_str(), 0);
        return out->file != plat::HFILE_ERROR;
    }
    return false;
}

// Closes the temporary file and either renames it over the target (commit) or removes it.
// Returns false when the rename fails; the temporary file is then removed too.
bool CloseOutputFile(OutputFile* out, bool commit) {
    if (out->file != plat::HFILE_ERROR) plat::_lclose(out->file);
    out->file = plat::HFILE_ERROR;
    if (out->direct) return commit;
    if (commit) {
        if (out->replaces) {
            // The new file keeps the permissions of the one it replaces.
            std::error_code ec;
            auto perms = std::filesystem::status(out->target, ec).permissions();
            if (!ec) std::filesystem::permissions(out->temporary, perms, ec);
        }
        if (plat::MoveFileReplace(out->temporary.c_str(), out->target.c_str()) != 0) return true;
    }
    plat::DeleteFileA(out->temporary.c_str());
    return false;
}

// ---- Writing ----

// Everything after the file is created: the blocks live and die here.
std::int16_t WriteGifStream(ImageIoRequest* request, const std::uint8_t* dib,
                            const GifSourceDib& source, plat::HFILE file) {
    const bool transparent = request->writeTransparent != 0;
    const bool interlaced = request->writeInterlaced != 0;
    const std::int16_t transparentIndex = request->transparentIndex;
    const std::uint32_t colours = 1u << source.bits;
    const auto minCodeSize = static_cast<std::uint8_t>(source.bits == 1 ? 2 : source.bits);

    // Header and logical screen descriptor.
    std::uint8_t header[13] = {
        'G', 'I', 'F', '8', static_cast<std::uint8_t>(transparent ? '9' : '7'), 'a'};
    StoreU16(header + 6, static_cast<std::uint32_t>(source.width) & 0xFFFF);
    StoreU16(header + 8, static_cast<std::uint32_t>(source.height) & 0xFFFF);
    header[10] = source.bits == 1 ? 0x80 : source.bits == 4 ? 0xB3 : 0xF7;
    // Image descriptor: left and top 0, no local colour table.
    std::uint8_t descriptor[10] = {0x2C};
    StoreU16(descriptor + 5, static_cast<std::uint32_t>(source.width) & 0xFFFF);
    StoreU16(descriptor + 7, static_cast<std::uint32_t>(source.height) & 0xFFFF);
    descriptor[9] = interlaced ? 0x40 : 0x00;

    plat::HGLOBAL outputBlock =
        plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, kGifOutputBufferBytes);
    auto* output = static_cast<std::uint8_t*>(plat::GlobalLock(outputBlock));
    if (output == nullptr) {
        plat::GlobalFree(outputBlock);
        return kNoMemory;
    }
    auto releaseOutput = [&] {
        plat::GlobalUnlock(outputBlock);
        plat::GlobalFree(outputBlock);
    };

    ConvertGifColourTable(dib, source, output);
    bool written = WriteAll(file, header, sizeof header) && WriteAll(file, output, 3 * colours);
    if (written && transparent && transparentIndex >= 0 && transparentIndex <= 255) {
        const std::uint8_t extension[8] = {
            0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, static_cast<std::uint8_t>(transparentIndex), 0x00};
        std::memcpy(output, extension, sizeof extension);
        written = WriteAll(file, output, sizeof extension);
    }
    written = written && WriteAll(file, descriptor, sizeof descriptor);
    if (!written) {
        releaseOutput();
        return kWriteFailed;
    }

    plat::HGLOBAL tableBlock =
        plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, kGifHashTableBytes);
    auto* table = static_cast<std::uint32_t*>(plat::GlobalLock(tableBlock));
    if (table == nullptr) {
        plat::GlobalFree(tableBlock);
        releaseOutput();
        return kNoMemory;
    }

    GifRowReader reader;
    StartGifRowReader(&reader, dib, source, interlaced, request);
    GifCodePacker packer;
    StartGifCodePacker(&packer, output, file, static_cast<std::uint8_t>(minCodeSize + 1));
    output[0] = minCodeSize;
    std::int16_t status = kWriteFailed;
    if (WriteAll(file, output, 1)) {
        status = EncodeGifImage(&packer, minCodeSize, table, reader);
        if (status == kOk) {
            static constexpr std::uint8_t kTrailer[2] = {0x00, 0x3B};
            if (!WriteAll(file, kTrailer, sizeof kTrailer)) status = kWriteFailed;
        }
    }
    plat::GlobalUnlock(tableBlock);
    plat::GlobalFree(tableBlock);
    releaseOutput();
    return status;
}

}  // namespace

bool DescribeGifSourceDib(const std::uint8_t* dib, std::uint64_t blockSize, GifSourceDib* out) {
    if (dib == nullptr || blockSize < 40) return false;
    std::uint32_t headerSize = LoadU32(dib);
    std::int32_t width, height;
    std::uint16_t bits;
    std::memcpy(&width, dib + 4, 4);
    std::memcpy(&height, dib + 8, 4);
    std::memcpy(&bits, dib + 14, 2);
    std::uint32_t compression = LoadU32(dib + 16);
    std::uint32_t clrUsed = LoadU32(dib + 32);
    // A shorter header (12-byte core headers) has none of these fields where they are read.
    if (headerSize < 40) return false;
    if (bits != 1 && bits != 4 && bits != 8) return false;
    // Run-length coded pixels (or any other coding) are not rows that can be read as they lie.
    if (compression != 0) return false;
    if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide) return false;
    GifSourceDib d;
    d.width = width;
    d.height = height;
    d.bits = bits;
    d.stride = ((std::uint64_t(bits) * std::uint64_t(width) + 31) / 32) * 4;
    d.colourOffset = headerSize;
    d.colourEntries = clrUsed != 0 ? clrUsed : 1u << bits;
    d.pixelOffset = d.colourOffset + 4ull * d.colourEntries;
    if (d.pixelOffset + d.stride * std::uint64_t(height) > blockSize) return false;
    *out = d;
    return true;
}

void ConvertGifColourTable(const std::uint8_t* dib, const GifSourceDib& source,
                           std::uint8_t* triplets) {
    const std::uint32_t colours = 1u << source.bits;
    for (std::uint32_t i = 0; i < colours; ++i) {
        std::uint8_t* t = triplets + 3 * i;
        if (i < source.colourEntries) {
            const std::uint8_t* q = dib + source.colourOffset + 4 * i;  // blue, green, red, 0
            t[0] = q[2];
            t[1] = q[1];
            t[2] = q[0];
        } else {
            t[0] = t[1] = t[2] = 0;
        }
    }
}

void StartGifRowReader(GifRowReader* reader, const std::uint8_t* dib, const GifSourceDib& source,
                       bool interlaced, ImageIoRequest* request) {
    reader->pixels = dib + source.pixelOffset;
    reader->stride = static_cast<std::int64_t>(source.stride);
    reader->width = static_cast<std::int16_t>(source.width);
    reader->height = static_cast<std::int16_t>(source.height);
    reader->column = 0;
    reader->r = static_cast<std::int16_t>(source.height - 1);
    reader->pass = 1;
    reader->imageRow = 0;
    reader->bits = static_cast<std::uint8_t>(source.bits);
    reader->interlaced = interlaced;
    reader->request = request;
    reader->row = reader->pixels + reader->stride * (source.height - 1);
}

int GifRowReader::NextSpan(const std::uint8_t** span) {
    if (column == width) {
        if (int status = FinishRow(); status != 0) return status;
    }
    int x = column;
    int count = width - x;
    if (bits == 8) {
        *span = row + x;
    } else {
        if (count > kGifUnpackChunk) count = kGifUnpackChunk;
        for (int i = 0; i < count; ++i, ++x) {
            unpacked[i] = bits == 4
                              ? static_cast<std::uint8_t>((row[x >> 1] >> ((~x & 1) << 2)) & 0x0F)
                              : static_cast<std::uint8_t>((row[x >> 3] >> (7 - (x & 7))) & 1);
        }
        *span = unpacked;
    }
    column = static_cast<std::int16_t>(column + count);
    return count;
}

int GifRowReader::FinishRow() {
    if (imageRow >= height) return kGifEndOfImage;  // asked again after the end
    if (request != nullptr) {
        auto done = static_cast<std::uint32_t>((std::int32_t{height} - r) * 100 / height);
        if (ReportProgress(request, done) != 0) return kGifCancelled;
    }
    r = static_cast<std::int16_t>(r - 1);
    if (!interlaced) {
        imageRow += 1;
    } else {
        // Passes: rows 0, 8, 16, ...; then 4, 12, ...; then 2, 6, ...; then 1, 3, 5, ...
        switch (pass) {
            case 1:
                imageRow += 8;
                if (imageRow >= height) {
                    pass = 2;
                    imageRow = 4;
                }
                if (imageRow >= height) {
                    pass = 3;
                    imageRow = 2;
                }
                if (imageRow >= height) {
                    pass = 4;
                    imageRow = 1;
                }
                break;
            case 2:
                imageRow += 8;
                if (imageRow >= height) {
                    pass = 3;
                    imageRow = 2;
                }
                break;
            case 3:
                imageRow += 4;
                if (imageRow >= height) {
                    pass = 4;
                    imageRow = 1;
                }
                break;
            default:
                imageRow += 2;
                break;
        }
    }
    column = 0;
    if (imageRow >= height) {
        pass = 5;
        imageRow = height;
        return kGifEndOfImage;
    }
    row = pixels + stride * (height - 1 - imageRow);
    return 0;
}

std::int16_t WriteGifWorker(ImageIoRequest* request) {
    if (std::int16_t status = BeginWork(request)) return status;
    plat::HGLOBAL dibBlock = request->sourceBitmap;
    if (dibBlock == 0) return kBadRequest;
    // A handle that cannot be locked, or a block too small for what its header claims, is not
    // a DIB that can be written.
    auto* dib = static_cast<const std::uint8_t*>(plat::GlobalLock(dibBlock));
    if (dib == nullptr) return kBadRequest;
    GifSourceDib source;
    if (!DescribeGifSourceDib(dib, plat::GlobalSize(dibBlock), &source)) {
        plat::GlobalUnlock(dibBlock);
        return kBadRequest;
    }

    OutputFile out;
    std::int16_t created = kCreateFailed;
    try {
        if (CreateOutputFile(request->fileName, &out)) created = kOk;
    } catch (const std::bad_alloc&) {
        created = kNoMemory;  // no room for the names
    }
    if (created != kOk) {
        if (out.file != plat::HFILE_ERROR) CloseOutputFile(&out, false);
        plat::GlobalUnlock(dibBlock);
        return created;
    }
    std::int16_t status = WriteGifStream(request, dib, source, out.file);
    if (!CloseOutputFile(&out, status == kOk) && status == kOk) status = kCreateFailed;
    plat::GlobalUnlock(dibBlock);
    if (status == kOk) ReportProgress(request, 100, 100);
    return status;
}

}  // namespace qor
