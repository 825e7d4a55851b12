// qorimg info: what each file holds, as lines of text or one JSON object per file.
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "diagnose.h"
#include "frame/read_info.h"
#include "image_io.h"
#include "progress.h"
#include "spool.h"
#include "tool.h"

namespace qorimg_tool {
namespace {

class JsonObject {
  public:
    JsonObject& Add(const char* key, const std::string& value) {
        Key(key);
        text_ += '"';
        for (std::size_t at = 0; at < value.size();) {
            std::uint32_t c = 0;
            std::size_t length = Utf8Sequence(value, at, &c);
            if (length == 0) {
                // JSON text is UTF-8: a byte that is not (a file name in another encoding)
                // becomes the replacement character.
                text_ += "\\ufffd";
                ++at;
                continue;
            }
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += static_cast<char>(c);
            } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
                // Control characters are escaped, so that printed JSON cannot drive a terminal.
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                text_ += escaped;
            } else {
                text_.append(value, at, length);
            }
            at += length;
        }
        text_ += '"';
        return *this;
    }
    JsonObject& Add(const char* key, const char* value) { return Add(key, std::string(value)); }
    JsonObject& Add(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
    template <typename T>
    requires std::is_integral_v<T> JsonObject& Add(const char* key, T value) {
        return Raw(key, std::to_string(value));
    }
    JsonObject& Raw(const char* key, const std::string& json) {
        Key(key);
        text_ += json;
        return *this;
    }
    std::string Text() const { return text_ + "}"; }

  private:
    void Key(const char* key) {
        text_ += text_.size() > 1 ? ",\"" : "\"";
        text_ += key;
        text_ += "\":";
    }
    std::string text_ = "{";
};

std::string JsonArray(const std::vector<std::string>& items) {
    std::string text = "[";
    for (std::size_t i = 0; i < items.size(); ++i) text += (i != 0 ? "," : "") + items[i];
    return text + "]";
}

// What one file reports, gathered once and printed as text or JSON. A GIF or TIFF is described
// from its blocks or directories; only with --decode is it read, which adds what a decoding alone
// finds: a GIF's rows that its data leaves blank, and a page whose data cannot be decoded.
struct Report {
    std::string file;
    Probe probe;
    int status = 0;
    std::string why;  // the cause of a non-zero status
    bool decoded = false;
    qor::ReadInfo read;  // when decoded
    std::uint32_t delivered = 0;
    std::string path;         // where the file is read (standard input's spool file)
    qor::GifDescription gif;  // without its frames, which are described again as they are printed
    TiffFacts tiff;
    ImageDescription image;
    Refusal gifInput;
};

void ReadWithLibrary(const std::string& path, Report* r) {
    std::uint32_t first = 0;
    auto format = r->probe.kind == Kind::Gif ? qor::ReadFormat::Gif : qor::ReadFormat::Tiff;
    r->decoded = true;
    QorReadOptions options{};
    options.size = sizeof options;
    options.threads = qor::ThreadsOfEnvironment();
    // As convert reads: a GIF's first image (its extended read would compose every frame).
    options.flags = r->probe.kind == Kind::Gif ? 0 : ReadFlags();
    r->status =
        qor::ReadWithInfo(format, LibraryProgress, 0, path.c_str(), &r->read, &first, &options);
    if (r->status == 0) {
        r->delivered = QorDocumentLayers(first, nullptr, 0);
        QorReleaseDocument(first);
    }
    if (r->probe.kind == Kind::Tiff) NoteReadOutcome(&r->tiff, r->status, r->read.stoppedAtPage);
}

Report Gather(const std::string& shownName, const std::string& path, bool decode) {
    Report r;
    r.file = shownName;
    r.path = path;
    r.probe = ProbeFile(path);
    if (r.probe.openError != 0) {
        r.status = QOR_OPEN_FAILED;
        r.why = ExplainReadFailure(path, r.probe, r.status);
        return r;
    }
    switch (r.probe.kind) {
        case Kind::Gif:
            r.gif = DescribeGifFile(path);
            r.status = r.gif.status;
            if (decode) ReadWithLibrary(path, &r);
            if (r.status != 0) r.why = ExplainGif(r.gif, r.status);
            break;
        case Kind::Tiff:
            r.tiff = DescribeTiffFile(path);
            r.status = r.tiff.file.status;
            if (decode) ReadWithLibrary(path, &r);
            if (r.status != 0) r.why = ExplainTiff(r.tiff, r.status);
            break;
        case Kind::Png:
        case Kind::Bmp: {
            Refusal refusal = r.probe.kind == Kind::Png ? DescribePng(path, &r.image)
                                                        : DescribeBmp(path, &r.image);
            r.status = refusal.status;
            r.why = refusal.why;
            // What convert would say of it as GIF input.
            if (r.status == 0) r.gifInput = GifInputRefusal(r.image);
            break;
        }
        default:
            r.status = QOR_NOT_GIF;
            r.why = UnknownKindProblem(r.probe);
            break;
    }
    return r;
}

// Rows that a read leaves blank: what the read found, or else the TIFF pages whose strips end
// before their last row (a GIF's data shows its end only to a decoding).
std::vector<qor::PageEnd> EndedEarly(const Report& r) {
    if (r.decoded) return r.read.endedEarly;
    std::vector<qor::PageEnd> ended;
    if (r.status != 0) return ended;
    for (std::size_t i = 0; i < r.tiff.pages.size(); ++i) {
        const auto& p = r.tiff.pages[i];
        if (p.status == 0 && p.rowsWithStrips < p.height) {
            ended.push_back({static_cast<std::uint32_t>(i + 1), p.rowsWithStrips});
        }
    }
    return ended;
}

// What becomes of a TIFF page in a read: "ok", why it is skipped, or that the read stops at it.
std::string PageState(const TiffFacts& tiff, std::size_t index) {
    const std::uint32_t page = static_cast<std::uint32_t>(index + 1);
    const std::uint32_t stop = tiff.file.stopPage;
    if (stop != 0 && page > stop) {
        return "not reached: a read stops at page " + std::to_string(stop);
    }
    const qor::TiffPageDescription& p = tiff.pages[index];
    if (p.status == 0 && p.colorMapIgnored) {
        return "ok, read as grey: the ColorMap does not hold 3 x 2^bits values and is ignored";
    }
    if (p.status == 0) return "ok";
    std::string why = ExplainTiffPage(p);
    return page == stop ? why + "; a read stops at this page" : why;
}

const char* ByteOrderName(std::uint16_t order) {
    return order == 0x4949 ? "little-endian" : order == 0x4D4D ? "big-endian" : "unknown";
}

// A RATIONAL as a decimal number, or "" when its denominator is 0 (the tag is absent).
std::string Rational(const std::uint32_t* value) {
    if (value[1] == 0) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", double(value[0]) / double(value[1]));
    return text;
}

const char* ResolutionUnitName(unsigned unit) {
    return unit == 2 ? "inch" : unit == 3 ? "centimetre" : "unknown unit";
}

const char* FillOrderName(unsigned order) {
    return order == 1   ? "most significant bit first"
           : order == 2 ? "least significant bit first"
                        : "unknown";
}

const char* PredictorName(unsigned predictor) {
    return predictor == 1   ? "none"
           : predictor == 2 ? "horizontal differencing"
           : predictor == 3 ? "floating point"
                            : "unknown";
}

const char* PlanarName(unsigned planar) {
    return planar == 1 ? "contiguous" : planar == 2 ? "separate planes" : "unknown";
}

const char* OrientationName(unsigned orientation) {
    static const char* const kNames[] = {"top left", "top right", "bottom right", "bottom left",
                                         "left top", "right top", "right bottom", "left bottom"};
    return orientation >= 1 && orientation <= 8 ? kNames[orientation - 1] : "unknown";
}

const char* DisposalName(unsigned disposal) {
    static const char* const kNames[] = {"unspecified", "keep", "restore background",
                                         "restore previous"};
    return disposal < 4 ? kNames[disposal] : "unknown";
}

// The tags of a page that tiffinfo users look for, on one line.
std::string PageTags(const qor::TiffPageDescription& p) {
    const std::string x = Rational(p.xResolution), y = Rational(p.yResolution);
    std::string text = "no resolution";
    if (!x.empty() || !y.empty()) {
        text =
            "resolution " + (x.empty() ? "?" : x) + " x " + (y.empty() ? "?" : y) +
            (p.resolutionUnit == 1 ? " (no unit)"
                                   : std::string(" per ") + ResolutionUnitName(p.resolutionUnit));
    }
    if (p.tiled) {
        text += p.tileWidth == 0 || p.tileLength == 0
                    ? ", tiles of no size (TileWidth " + std::to_string(p.tileWidth) +
                          ", TileLength " + std::to_string(p.tileLength) + ")"
                    : ", tiles of " + std::to_string(p.tileWidth) + " x " +
                          std::to_string(p.tileLength);
    } else {
        text += p.rowsPerStrip == 0 || p.rowsPerStrip >= p.height
                    ? ", one strip"
                    : ", " + Counted(p.rowsPerStrip, "row", "rows") + " per strip";
    }
    text += ", fill order " + std::to_string(p.fillOrder) + " (" + FillOrderName(p.fillOrder) +
            "), predictor " + std::to_string(p.predictor) + " (" + PredictorName(p.predictor) +
            "), planar configuration " + std::to_string(p.planarConfig) + " (" +
            PlanarName(p.planarConfig) + ")";
    if (p.extraSampleCount == 1) {
        // One extra sample: the field holds what it is, not a count.
        static const char* const kKinds[] = {"unspecified data", "premultiplied alpha",
                                             "unassociated alpha"};
        text += ", one extra sample (" +
                (p.extraSamples < 3 ? std::string(kKinds[p.extraSamples])
                                    : "kind " + std::to_string(p.extraSamples)) +
                ")";
    } else if (p.extraSampleCount > 1) {
        text += ", " + Counted(p.extraSampleCount, "extra sample", "extra samples");
    }
    text += ", orientation " + std::to_string(p.orientation) + " (" +
            OrientationName(p.orientation) + ")";
    // PageNumber counts from 0, and a total of 0 is unknown.
    if (p.pageNumber != 0 || p.pageTotal != 0) {
        text += ", numbered page " + std::to_string(p.pageNumber + 1);
        if (p.pageTotal != 0) text += " of " + std::to_string(p.pageTotal);
    }
    if (p.software[0] != '\0') text += ", software \"" + std::string(p.software) + "\"";
    if (p.dateTime[0] != '\0') text += ", date " + std::string(p.dateTime);
    return text;
}

std::string FrameText(std::size_t index, const QorGifFrame& f) {
    char delay[32];
    std::snprintf(delay, sizeof delay, "%u.%02u s", f.delay / 100u, f.delay % 100u);
    std::string text = "frame " + std::to_string(index + 1) + ": " + std::to_string(f.width) +
                       " x " + std::to_string(f.height) + " at (" + std::to_string(f.left) + ", " +
                       std::to_string(f.top) + "), delay " + delay + ", disposal " +
                       std::to_string(f.disposal) + " (" + DisposalName(f.disposal) + ")";
    if (f.transparentIndex >= 0)
        text += ", transparent index " + std::to_string(f.transparentIndex);
    if (f.localColors != 0) text += ", " + std::to_string(f.localColors) + " colours of its own";
    if (f.interlaced != 0) text += ", interlaced";
    return text;
}

std::string LoopText(std::int32_t loops) {
    if (loops < 0) return "no looping extension";
    return loops == 0 ? "loops forever"
                      : "plays " + Counted(static_cast<std::uint32_t>(loops) + 1, "time", "times");
}

void PrintText(const Report& r) {
    const std::string printable = Printable(r.file);
    const char* name = printable.c_str();
    const std::vector<qor::PageEnd> ended = EndedEarly(r);
    if (r.probe.kind == Kind::Gif && r.gif.bitsPerPixel != 0) {
        const qor::GifDescription& g = r.gif;
        std::printf("%s: GIF version %s, %u frame%s, logical screen %u x %u\n", name, g.version,
                    g.frames, g.frames == 1 ? "" : "s", g.screenWidth, g.screenHeight);
        std::printf("  first image: %u x %u at (%u, %u), %s per pixel, %u colours, %s\n", g.width,
                    g.height, g.left, g.top, Counted(g.bitsPerPixel, "bit", "bits").c_str(),
                    g.colorCount, g.interlaced ? "interlaced" : "not interlaced");
        std::printf("  DIB pixel bytes %u, file size %u\n", g.pixelBytes, g.fileSize);
        if (g.transparentIndex >= 0) {
            std::printf("  transparent index %d\n", g.transparentIndex);
        } else {
            std::printf("  no transparent colour\n");
        }
        std::printf("  %s\n", LoopText(g.loopCount).c_str());
        // A GIF may have millions of frames: each is printed as it is described.
        DescribeGifFile(r.path, [](std::uint32_t i, const QorGifFrame& f) {
            std::printf("  %s\n", FrameText(i, f).c_str());
        });
        // Each comment line as it is, made printable; a comment longer than the field is cut.
        std::string comments = g.comments;
        for (std::size_t at = 0; at < comments.size();) {
            std::size_t end = comments.find('\n', at);
            if (end == std::string::npos) end = comments.size();
            std::printf("  comment: %s\n", Printable(comments.substr(at, end - at)).c_str());
            at = end + 1;
        }
        for (const auto& end : ended) {
            std::printf("  %s\n", DataEndedText(Kind::Gif, end, g.height).c_str());
        }
    } else if (r.probe.kind == Kind::Tiff && !r.tiff.pages.empty()) {
        const auto& pages = r.tiff.pages;
        std::printf("%s: TIFF (%s), %s%s", name, ByteOrderName(r.tiff.file.byteOrder),
                    r.tiff.file.morePages ? "at least " : "",
                    Counted(pages.size(), "page", "pages").c_str());
        if (r.decoded) std::printf(", %u delivered", r.delivered);
        if (r.tiff.file.morePages) std::printf("; the pages after these are not read");
        std::printf("\n");
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const auto& p = pages[i];
            std::printf(
                "  page %zu: %u x %u, %s of %s, photometric %u (%s), compression %u (%s), %s: "
                "%s\n",
                i + 1, p.width, p.height, Counted(p.samplesPerPixel, "sample", "samples").c_str(),
                Counted(p.bitsPerSample, "bit", "bits").c_str(), p.photometric,
                PhotometricName(p.photometric), p.compression, CompressionName(p.compression),
                Counted(p.strips, p.tiled ? "tile" : "strip", p.tiled ? "tiles" : "strips").c_str(),
                PageState(r.tiff, i).c_str());
            std::printf("    %s\n", Printable(PageTags(p)).c_str());
        }
        for (const auto& end : ended) {
            std::printf("  %s\n", DataEndedText(Kind::Tiff, end, 0).c_str());
        }
        for (const auto& damage : r.read.damaged) {
            std::printf("  %s\n", DamagedRowsText(damage).c_str());
        }
    } else if ((r.probe.kind == Kind::Png || r.probe.kind == Kind::Bmp) && r.status == 0) {
        const ImageDescription& d = r.image;
        std::printf("%s: %s, %u x %u, %u-bit %s", name, KindName(r.probe.kind), d.width, d.height,
                    d.bitDepth, d.colourType.c_str());
        if (d.colours != 0) std::printf(" of %u colours", d.colours);
        std::printf(", %s\n", d.compression.c_str());
        if (d.transparent >= 0) std::printf("  transparent index %d\n", d.transparent);
        if (r.gifInput.status != 0) {
            std::printf("  convert refuses it: %s (status %d)\n", Printable(r.gifInput.why).c_str(),
                        r.gifInput.status);
        }
    }
    if (r.status != 0) Refused(r.file, r.why, r.status);
}

// Prints the pages as a JSON array, one at a time: a TIFF of thousands of pages is never held as
// one text.
void PrintPagesJson(const Report& r) {
    const char* separator = "";
    auto print = [&separator](const JsonObject& page) {
        std::printf("%s%s", separator, page.Text().c_str());
        separator = ",";
    };
    std::printf("[");
    if (r.probe.kind == Kind::Gif && r.gif.bitsPerPixel != 0) {
        print(JsonObject()
                  .Add("width", r.gif.width)
                  .Add("height", r.gif.height)
                  .Add("left", r.gif.left)
                  .Add("top", r.gif.top)
                  .Add("bitsPerPixel", r.gif.bitsPerPixel)
                  .Add("colours", r.gif.colorCount)
                  .Add("interlaced", r.gif.interlaced != 0)
                  .Add("status", r.status)
                  .Add("message", r.status == 0 ? "ok" : r.why));
    }
    for (std::size_t i = 0; i < r.tiff.pages.size(); ++i) {
        const qor::TiffPageDescription& p = r.tiff.pages[i];
        JsonObject page;
        page.Add("width", p.width)
            .Add("height", p.height)
            .Add("bitsPerSample", p.bitsPerSample)
            .Add("samplesPerPixel", p.samplesPerPixel)
            .Add("photometric", p.photometric)
            .Add("photometricName", PhotometricName(p.photometric))
            .Add("compression", p.compression)
            .Add("compressionName", CompressionName(p.compression))
            .Add("strips", p.strips)
            .Add("tiled", p.tiled != 0)
            .Add("rowsPerStrip", p.rowsPerStrip)
            .Add("fillOrder", p.fillOrder)
            .Add("predictor", p.predictor)
            .Add("planarConfig", p.planarConfig)
            .Add("extraSamples", p.extraSamples)
            .Add("orientation", p.orientation)
            .Add("resolutionUnit", p.resolutionUnit)
            .Raw("xResolution", Rational(p.xResolution).empty() ? "null" : Rational(p.xResolution))
            .Raw("yResolution", Rational(p.yResolution).empty() ? "null" : Rational(p.yResolution))
            .Add("pageNumber", p.pageNumber)
            .Add("pageTotal", p.pageTotal)
            .Add("software", std::string(p.software))
            .Add("dateTime", std::string(p.dateTime))
            .Add("status", p.status)
            .Add("message", PageState(r.tiff, i));
        if (r.decoded) page.Add("delivered", r.status == 0 && p.status == 0);
        print(page);
    }
    if ((r.probe.kind == Kind::Png || r.probe.kind == Kind::Bmp) && r.status == 0) {
        print(JsonObject()
                  .Add("width", r.image.width)
                  .Add("height", r.image.height)
                  .Add("bitDepth", r.image.bitDepth)
                  .Add("colourType", r.image.colourType)
                  .Add("colours", r.image.colours)
                  .Add("status", r.gifInput.status)
                  .Add("message", r.gifInput.status == 0 ? "ok" : r.gifInput.why));
    }
    std::printf("]");
}

void PrintJson(const Report& r) {
    JsonObject o;
    o.Add("file", r.file).Add("format", KindName(r.probe.kind));
    o.Add("status", r.status).Add("message", r.status == 0 ? "ok" : r.why);
    o.Add("fileSize", r.probe.size);
    if (r.probe.kind == Kind::Gif || r.probe.kind == Kind::Tiff) o.Add("decoded", r.decoded);
    if (r.probe.kind == Kind::Gif && r.gif.hasScreen) {
        o.Add("version", std::string(r.gif.version));
        o.Raw(
            "screen",
            JsonObject().Add("width", r.gif.screenWidth).Add("height", r.gif.screenHeight).Text());
        o.Add("frames", r.gif.frames).Add("transparentIndex", r.gif.transparentIndex);
        o.Add("loopCount", r.gif.loopCount).Add("comments", std::string(r.gif.comments));
    } else if (r.probe.kind == Kind::Tiff && r.tiff.file.byteOrder != 0) {
        o.Add("byteOrder", ByteOrderName(r.tiff.file.byteOrder));
    } else if (r.probe.kind == Kind::Png) {
        o.Add("transparentIndex", r.image.transparent);
    }
    std::string head = o.Text();
    head.pop_back();  // the closing brace comes after the frames and pages
    std::printf("%s", head.c_str());
    if (r.probe.kind == Kind::Gif && r.gif.hasScreen) {
        // A GIF may have millions of frames: each is printed as it is described, and the list
        // is never held.
        std::printf(",\"frameList\":[");
        DescribeGifFile(r.path, [](std::uint32_t i, const QorGifFrame& f) {
            std::printf("%s%s", i != 0 ? "," : "",
                        JsonObject()
                            .Add("width", f.width)
                            .Add("height", f.height)
                            .Add("left", f.left)
                            .Add("top", f.top)
                            .Add("delay", f.delay)
                            .Add("disposal", f.disposal)
                            .Add("transparentIndex", f.transparentIndex)
                            .Add("interlaced", f.interlaced != 0)
                            .Text()
                            .c_str());
        });
        std::printf("]");
    }
    std::vector<std::string> ended;
    for (const auto& end : EndedEarly(r)) {
        ended.push_back(
            JsonObject().Add("page", end.page).Add("firstBlankRow", end.firstBlankRow).Text());
    }
    std::vector<std::string> damaged;
    for (const auto& d : r.read.damaged) {
        damaged.push_back(JsonObject()
                              .Add("page", d.page)
                              .Add("firstRow", d.firstRow)
                              .Add("rows", d.rows)
                              .Add("status", d.status)
                              .Text());
    }
    std::printf(",\"endedEarly\":%s,\"damaged\":%s,\"pages\":", JsonArray(ended).c_str(),
                JsonArray(damaged).c_str());
    PrintPagesJson(r);
    std::printf("}\n");
}

}  // namespace

int Info(const Options& opt) {
    int rc = kExitOk;
    bool stdinUsed = false;
    for (std::size_t i = 1; i < opt.args.size(); ++i) {
        const std::string& file = opt.args[i];
        SpoolFile spool;
        std::string path = file;
        if (file == "-") {
            if (stdinUsed) return Usage("standard input can be read once only");
            stdinUsed = true;
            if (std::string why = SpoolStandardInput(&spool); !why.empty()) {
                if (Cancelled()) return CancelExitCode();
                rc = Failed(file, why);
                continue;
            }
            path = spool.path();
        }
        Report r = Gather(Shown(file), path, opt.decode);
        if (Cancelled()) return CancelExitCode();
        if (opt.json) {
            PrintJson(r);
        } else {
            PrintText(r);
        }
        std::fflush(stdout);
        if (r.status != 0) rc = kExitRefused;
    }
    return rc;
}

}  // namespace qorimg_tool
