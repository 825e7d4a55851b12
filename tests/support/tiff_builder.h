// A small TIFF file builder for the tests: header, directories with SHORT/LONG or raw entries,
// out-of-line values and strip data, in either byte order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "tiff/reader.h"

namespace qor::test {

class TiffBuilder {
  public:
    struct Entry {
        std::uint16_t tag = 0, type = 0;
        std::uint32_t count = 0;
        std::vector<std::uint32_t> values;  // SHORT or LONG values
        bool rawField = false;              // write `field` as the value field as it stands
        std::uint32_t field = 0;
    };

    explicit TiffBuilder(bool bigEndian) : big_(bigEndian) {
        data_ = {static_cast<std::uint8_t>(big_ ? 'M' : 'I'),
                 static_cast<std::uint8_t>(big_ ? 'M' : 'I')};
        Put16(42);
        linkAt_ = data_.size();
        Put32(0);
    }

    bool bigEndian() const { return big_; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(data_.size()); }

    // Appends bytes (word-aligned) and returns their offset.
    std::uint32_t Append(const Bytes& bytes) {
        if (data_.size() % 2 != 0) data_.push_back(0);
        auto at = size();
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return at;
    }
    std::uint32_t AppendShorts(const std::vector<std::uint32_t>& v) {
        if (data_.size() % 2 != 0) data_.push_back(0);
        auto at = size();
        for (auto x : v) Put16(static_cast<std::uint16_t>(x));
        return at;
    }
    std::uint32_t AppendLongs(const std::vector<std::uint32_t>& v) {
        if (data_.size() % 2 != 0) data_.push_back(0);
        auto at = size();
        for (auto x : v) Put32(x);
        return at;
    }
    // Overwrites the 32-bit value at `at` (an offset array entry written before its target).
    void Patch32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            int s = big_ ? 24 - 8 * i : 8 * i;
            data_[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> s);
        }
    }
    // Pads the file with zero bytes up to `offset`.
    void PadTo(std::uint32_t offset) {
        if (data_.size() < offset) data_.resize(offset, 0);
    }

    static Entry Short(std::uint16_t tag, std::vector<std::uint32_t> v) {
        return Entry{tag, 3, static_cast<std::uint32_t>(v.size()), std::move(v), false, 0};
    }
    static Entry Long(std::uint16_t tag, std::vector<std::uint32_t> v) {
        return Entry{tag, 4, static_cast<std::uint32_t>(v.size()), std::move(v), false, 0};
    }
    // An entry whose value field is written as the 32-bit number `field` in the file's order.
    static Entry Raw(std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                     std::uint32_t field) {
        return Entry{tag, type, count, {}, true, field};
    }

    // Writes a directory (out-of-line values first), links it to the chain and returns its
    // offset. Entries are written in the order given.
    std::uint32_t AddIfd(const std::vector<Entry>& entries) {
        std::vector<std::uint32_t> fields;
        for (const Entry& e : entries) fields.push_back(e.rawField ? e.field : Field(e));
        if (data_.size() % 2 != 0) data_.push_back(0);
        std::uint32_t at = size();
        Patch32(linkAt_, at);
        Put16(static_cast<std::uint16_t>(entries.size()));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            Put16(e.tag);
            Put16(e.type);
            Put32(e.count);
            if (!e.rawField && Fits(e)) {
                // In the value field, left-justified.
                if (e.type == 3) {
                    Put16(static_cast<std::uint16_t>(e.values.size() > 0 ? e.values[0] : 0));
                    Put16(static_cast<std::uint16_t>(e.values.size() > 1 ? e.values[1] : 0));
                } else {
                    Put32(e.values.empty() ? 0 : e.values[0]);
                }
            } else {
                Put32(fields[i]);
            }
        }
        linkAt_ = data_.size();
        ifdLinks_.push_back(linkAt_);
        Put32(0);
        return at;
    }
    // Points the next-IFD field of directory `index` (0-based) at `offset`.
    void SetNext(std::size_t index, std::uint32_t offset) { Patch32(ifdLinks_[index], offset); }

    const Bytes& bytes() const { return data_; }

    void Put16(std::uint16_t v) {
        if (big_) {
            data_.push_back(static_cast<std::uint8_t>(v >> 8));
            data_.push_back(static_cast<std::uint8_t>(v));
        } else {
            data_.push_back(static_cast<std::uint8_t>(v));
            data_.push_back(static_cast<std::uint8_t>(v >> 8));
        }
    }
    void Put32(std::uint32_t v) {
        if (big_) {
            for (int s = 24; s >= 0; s -= 8) data_.push_back(static_cast<std::uint8_t>(v >> s));
        } else {
            for (int s = 0; s < 32; s += 8) data_.push_back(static_cast<std::uint8_t>(v >> s));
        }
    }

  private:
    static bool Fits(const Entry& e) {
        return (e.type == 3 && e.values.size() <= 2) || (e.type == 4 && e.values.size() <= 1);
    }
    std::uint32_t Field(const Entry& e) {
        if (Fits(e)) return 0;
        return e.type == 3 ? AppendShorts(e.values) : AppendLongs(e.values);
    }
    bool big_;
    Bytes data_;
    std::size_t linkAt_ = 0;
    std::vector<std::size_t> ifdLinks_;
};

// A page description for whole files: the common tags are written from it, `extra` entries are
// added, and all are sorted by tag.
struct TiffPageSpec {
    std::uint32_t width = 1, height = 1;
    std::vector<std::uint32_t> bits = {8};  // one per sample
    int photometric = 1;                    // -1: no tag
    std::uint32_t compression = 1;
    std::uint32_t rowsPerStrip = 0;  // 0: no tag
    std::vector<Bytes> strips;
    bool shortOffsets = false;
    std::vector<std::uint32_t> colorMap;  // 3 x 2^bits values; empty: no tag
    std::vector<TiffBuilder::Entry> extra;
};

// Adds a page's strips and directory to `b`; returns the directory's offset.
inline std::uint32_t AddTiffPage(TiffBuilder& b, const TiffPageSpec& p) {
    using E = TiffBuilder;
    std::vector<std::uint32_t> offsets, counts;
    for (const Bytes& s : p.strips) {
        offsets.push_back(b.Append(s));
        counts.push_back(static_cast<std::uint32_t>(s.size()));
    }
    std::vector<E::Entry> e;
    e.push_back(E::Long(256, {p.width}));
    e.push_back(E::Long(257, {p.height}));
    e.push_back(E::Short(258, p.bits));
    e.push_back(E::Short(259, {p.compression}));
    if (p.photometric >= 0) e.push_back(E::Short(262, {static_cast<std::uint32_t>(p.photometric)}));
    e.push_back(p.shortOffsets ? E::Short(273, offsets) : E::Long(273, offsets));
    e.push_back(E::Short(277, {static_cast<std::uint32_t>(p.bits.size())}));
    if (p.rowsPerStrip != 0) e.push_back(E::Long(278, {p.rowsPerStrip}));
    e.push_back(E::Long(279, counts));
    if (!p.colorMap.empty()) e.push_back(E::Short(320, p.colorMap));
    for (const auto& x : p.extra) {
        e.erase(
            std::remove_if(e.begin(), e.end(), [&](const E::Entry& y) { return y.tag == x.tag; }),
            e.end());
        e.push_back(x);
    }
    std::stable_sort(e.begin(), e.end(),
                     [](const E::Entry& a, const E::Entry& c) { return a.tag < c.tag; });
    return b.AddIfd(e);
}

inline Bytes MakeTiff(const std::vector<TiffPageSpec>& pages, bool bigEndian = false) {
    TiffBuilder b(bigEndian);
    for (const auto& p : pages) AddTiffPage(b, p);
    return b.bytes();
}

// A one-page file whose strips follow the directory and end the file, so that data that stops
// early meets the end of the file, and a file cut short loses strips rather than its directory.
inline Bytes MakeTiffStripsLast(TiffPageSpec spec, bool bigEndian = false) {
    const std::vector<Bytes> strips = std::move(spec.strips);
    spec.strips.clear();
    std::vector<std::uint32_t> offsets(strips.size(), 0), counts;
    for (const Bytes& s : strips) counts.push_back(static_cast<std::uint32_t>(s.size()));
    auto directory = [&] {
        TiffPageSpec d = spec;
        d.extra.push_back(spec.shortOffsets ? TiffBuilder::Short(273, offsets)
                                            : TiffBuilder::Long(273, offsets));
        d.extra.push_back(TiffBuilder::Long(279, counts));
        return MakeTiff({d}, bigEndian);
    };
    // The offsets take the same bytes whatever their values.
    auto at = static_cast<std::uint32_t>(directory().size());
    for (std::size_t i = 0; i < strips.size(); ++i) {
        offsets[i] = at;
        at += counts[i];
    }
    Bytes file = directory();
    for (const Bytes& s : strips) file.insert(file.end(), s.begin(), s.end());
    return file;
}

// Page `index` (0 = the first) of a TIFF file made ready for a strip decoder as the driver does
// it: the file opened, the directory parsed and validated, the page's DIB set up and locked.
// Unlocks and frees the DIB and closes the file when it goes.
struct PreparedPage {
    HFILE file = -1;
    HGLOBAL dib = 0;
    std::uint8_t* bits = nullptr;
    tiff::TiffPage page{};

    explicit PreparedPage(const std::string& path, std::uint32_t index = 0) {
        file = plat::_lopen(path.c_str(), 0);
        std::uint16_t order = 0;
        std::uint32_t offset = 0;
        EXPECT_EQ(tiff::ReadTiffHeader(file, &order, &offset), 0);
        for (std::uint32_t i = 0; i <= index; ++i) {
            page = tiff::TiffPage{};
            page.byteOrder = order;
            tiff::ParseTiffDirectory(file, &page, &offset);
        }
        EXPECT_EQ(tiff::ValidateTiffPage(page), 0);
        EXPECT_EQ(tiff::SetUpPageDib(file, &page, &dib, &bits), 0);
    }
    ~PreparedPage() {
        if (dib != 0) {
            plat::GlobalUnlock(dib);
            plat::GlobalFree(dib);
        }
        plat::_lclose(file);
    }
    PreparedPage(const PreparedPage&) = delete;
    PreparedPage& operator=(const PreparedPage&) = delete;
};

// The first page of a TIFF file decoded as the driver decodes it, before the finishing step.
struct DecodedPage {
    std::int16_t status = -1;  // -1 when the page could not be set up
    tiff::TiffPage page{};
    std::vector<Bytes> rows;  // each whole DIB row, the first file row first, whatever the status
};

// Runs `decoder` (when null, the one the page's compression selects) on prepared page `index` of
// the file at `path`; `adjust` may change the page after its set-up.
inline DecodedPage DecodePage(const std::string& path, std::uint32_t index,
                              tiff::StripDecoder decoder = nullptr, ProgressProc progress = nullptr,
                              const std::function<void(tiff::TiffPage&)>& adjust = {}) {
    DecodedPage d;
    PreparedPage prepared(path, index);
    d.page = prepared.page;
    if (prepared.dib == 0) return d;
    if (adjust) adjust(prepared.page);
    if (decoder == nullptr) decoder = tiff::SelectStripDecoder(prepared.page.compression);
    EXPECT_NE(decoder, nullptr);
    if (decoder == nullptr) return d;
    Request r("x", progress);
    d.status = decoder(ProgressBlockOf(r.get()), prepared.bits, prepared.file, &prepared.page);
    d.page = prepared.page;
    // A page adjusted to a depth with no DIB form has no rows to read back.
    DibView rows;
    if (!tiff::ViewPageDib(prepared.bits, d.page, &rows)) return d;
    for (std::uint32_t i = 0; i < rows.height; ++i) {
        d.rows.emplace_back(rows.Row(i), rows.Row(i) + rows.stride);
    }
    return d;
}
inline DecodedPage DecodeFirstPage(const std::string& path, tiff::StripDecoder decoder = nullptr,
                                   ProgressProc progress = nullptr,
                                   const std::function<void(tiff::TiffPage&)>& adjust = {}) {
    return DecodePage(path, 0, decoder, progress, adjust);
}

}  // namespace qor::test
