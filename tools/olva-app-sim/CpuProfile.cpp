#include "CpuProfile.h"

#include "Support.h"

#include <algorithm>
#include <array>
#include <vector>

namespace OlvaAppSim {
namespace {

// Node ids are positions in this table plus one; parents come first.
struct Frame
{
    int parent;
    const char* functionName;
    const char* scriptId;
    const char* url;
    int line;
    int column;
    unsigned selfWeight;
};

constexpr std::array<Frame, 18> frames{{
    {0, "(root)", "0", "", -1, -1, 0},
    {1, "(program)", "0", "", -1, -1, 6},
    {1, "(idle)", "0", "", -1, -1, 30},
    {1, "(garbage collector)", "0", "", -1, -1, 4},
    {1, "main", "3", "file:///app/main.js", 0, 0, 1},
    {5, "onFrame", "3", "file:///app/main.js", 41, 17, 2},
    {6, "layout", "4", "file:///app/ui/layout.js", 11, 9, 10},
    {7, "measureText", "5", "file:///app/ui/text.js", 87, 4, 6},
    {6, "render", "6", "file:///app/ui/render.js", 29, 15, 12},
    {9, "drawRect", "6", "file:///app/ui/render.js", 74, 8, 7},
    {9, "drawImage", "6", "file:///app/ui/render.js", 119, 8, 5},
    {6, "handleInput", "7", "file:///app/input.js", 4, 20, 3},
    {12, "dispatchEvent", "7", "file:///app/input.js", 60, 4, 2},
    {5, "fetchData", "8", "file:///app/net/fetch.js", 16, 24, 2},
    {14, "parseJSON", "8", "file:///app/net/fetch.js", 53, 10, 5},
    {15, "parse", "0", "", -1, -1, 4},
    {14, "updateModel", "9", "file:///app/model.js", 21, 2, 3},
    {5, "onTimer", "3", "file:///app/main.js", 129, 30, 1},
}};

constexpr std::uint64_t seed = 0x01f4a5c3d2b1e0f9ULL;
// The profiler samples about once a millisecond, with some jitter.
constexpr std::int64_t sampleIntervalUs = 1000;
constexpr std::int64_t intervalJitterUs = 100;
constexpr std::size_t minSamples = 200;

struct Sample
{
    std::size_t frame;
    std::int64_t deltaUs;
};

constexpr unsigned totalWeight()
{
    unsigned total = 0;
    for (const Frame& frame : frames) {
        total += frame.selfWeight;
    }
    return total;
}

// Picks where the sampled stack ends, in proportion to the frames' self time.
Sample drawSample(Prng& prng)
{
    auto pick = static_cast<unsigned>(prng.below(totalWeight()));
    std::size_t frame = 0;
    while (pick >= frames[frame].selfWeight) {
        pick -= frames[frame++].selfWeight;
    }
    const auto jitter = static_cast<std::int64_t>(prng.below(2 * intervalJitterUs + 1));
    return {frame, sampleIntervalUs - intervalJitterUs + jitter};
}

void appendNode(std::string& out, std::size_t index, std::size_t hitCount)
{
    const Frame& frame = frames[index];
    const int id = static_cast<int>(index) + 1;
    out += "{\"id\":" + std::to_string(id) + ",\"callFrame\":{\"functionName\":\"" + frame.functionName +
           "\",\"scriptId\":\"" + frame.scriptId + "\",\"url\":\"" + frame.url +
           "\",\"lineNumber\":" + std::to_string(frame.line) + ",\"columnNumber\":" + std::to_string(frame.column) +
           "},\"hitCount\":" + std::to_string(hitCount);
    std::string children;
    for (std::size_t child = 0; child < frames.size(); ++child) {
        if (frames[child].parent == id) {
            children += (children.empty() ? "" : ",") + std::to_string(child + 1);
        }
    }
    if (!children.empty()) {
        out += ",\"children\":[" + children + "]";
    }
    out += '}';
}

// Accumulates samples while keeping the rendered size known, so a document of
// an exact size can be filled without rendering it repeatedly.
class ProfileBuilder
{
  public:
    explicit ProfileBuilder(std::int64_t start)
        : startUs(start), endUs(start), hits(frames.size(), 0), hitDigits(frames.size())
    {
        emptySize = render().size();
    }

    std::size_t size() const { return sizeFor(hitDigits, endUs, samples.size(), deltas.size()); }

    std::size_t sizeWith(const Sample& sample) const
    {
        const std::size_t frameHits = hits[sample.frame];
        const std::size_t separator = samples.empty() ? 0 : 1;
        const auto delta = static_cast<std::uint64_t>(sample.deltaUs);
        return sizeFor(hitDigits + decimalDigits(frameHits + 1) - decimalDigits(frameHits), endUs + sample.deltaUs,
                       samples.size() + separator + decimalDigits(sample.frame + 1),
                       deltas.size() + separator + decimalDigits(delta));
    }

    void add(const Sample& sample)
    {
        std::size_t& frameHits = hits[sample.frame];
        hitDigits += decimalDigits(frameHits + 1) - decimalDigits(frameHits);
        ++frameHits;
        endUs += sample.deltaUs;
        const char* separator = samples.empty() ? "" : ",";
        samples += separator + std::to_string(sample.frame + 1);
        deltas += separator + std::to_string(sample.deltaUs);
    }

    std::string render() const
    {
        std::string out;
        out.reserve(size());
        out += "{\"nodes\":[";
        for (std::size_t index = 0; index < frames.size(); ++index) {
            out += index == 0 ? "" : ",";
            appendNode(out, index, hits[index]);
        }
        out += "],\"startTime\":" + std::to_string(startUs) + ",\"endTime\":" + std::to_string(endUs) +
               ",\"samples\":[" + samples + "],\"timeDeltas\":[" + deltas + "]}";
        return out;
    }

  private:
    // Rendered size relative to the empty document (all hit counts 0, end == start).
    std::size_t sizeFor(std::size_t allHitDigits, std::int64_t lastUs, std::size_t samplesLength,
                        std::size_t deltasLength) const
    {
        return emptySize + allHitDigits - frames.size() + decimalDigits(static_cast<std::uint64_t>(lastUs)) -
               decimalDigits(static_cast<std::uint64_t>(startUs)) + samplesLength + deltasLength;
    }

    std::int64_t startUs;
    std::int64_t endUs;
    std::vector<std::size_t> hits;
    std::size_t hitDigits;
    std::string samples;
    std::string deltas;
    std::size_t emptySize = 0;
};

} // namespace

std::string buildCpuProfile(std::int64_t startUs, std::int64_t endUs, std::optional<std::size_t> exactBytes)
{
    ProfileBuilder builder(startUs);
    Prng prng(seed);
    if (exactBytes) {
        // Whole samples while they fit; whitespace makes up the rest.
        Sample sample = drawSample(prng);
        while (builder.sizeWith(sample) <= *exactBytes) {
            builder.add(sample);
            sample = drawSample(prng);
        }
    } else {
        // Counted in 64 bits: a size_t is 32 bits wide on a 32-bit device.
        const std::int64_t intervals = std::max<std::int64_t>(endUs - startUs, 0) / sampleIntervalUs;
        const std::size_t count = std::max(minSamples, static_cast<std::size_t>(intervals));
        for (std::size_t i = 0; i < count; ++i) {
            builder.add(drawSample(prng));
        }
    }
    std::string profile = builder.render();
    if (exactBytes) {
        fitToSize(profile, *exactBytes);
    }
    return profile;
}

} // namespace OlvaAppSim
