#include "tools/tag_writer/pe_checksum.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "package/package_layout.h"
#include "tools/tag_writer/bytes.h"

namespace tag_writer {

namespace {

// One's-complement arithmetic on 16 bits: 0xFFFF + 1 wraps to 1.
constexpr std::uint64_t kOnesComplementModulus = 0xFFFF;

// A whole package passes through SumOfWords, so it must not be slower than
// reading the file. The words are gathered in 32-bit lanes: a lane grows by
// at most 0xFFFF a step, so it holds this many steps before it must be
// emptied into the 64-bit total.
constexpr std::size_t kStepsPerLaneFold = 0x10000;

#if defined(__OPTIMIZE_SIZE__)
// Built for size, the compiler does not vectorize: a 64-bit load holds four
// little-endian words, which two accumulators gather in two lanes each
// (words 0 and 2 in one, 1 and 3 in the other).
constexpr std::uint64_t kAlternateWords = 0x0000FFFF0000FFFF;
constexpr std::uint64_t kLaneMask = 0xFFFFFFFF;

std::uint64_t SumOfWholeSteps(const std::uint8_t* bytes, std::size_t& i, std::size_t size) {
    std::uint64_t total = 0;
    while (size - i >= 8) {
        const std::size_t steps = std::min((size - i) / 8, kStepsPerLaneFold);
        std::uint64_t even = 0;
        std::uint64_t odd = 0;
        for (std::size_t step = 0; step < steps; ++step, i += 8) {
            std::uint64_t eight = 0;
            std::memcpy(&eight, bytes + i, sizeof eight);
            even += eight & kAlternateWords;
            odd += (eight >> 16) & kAlternateWords;
        }
        total += (even & kLaneMask) + (even >> 32) + (odd & kLaneMask) + (odd >> 32);
    }
    return total;
}
#else
// Eight words a step into eight lanes: a loop the compiler vectorizes.
constexpr std::size_t kWordsPerStep = 8;

std::uint64_t SumOfWholeSteps(const std::uint8_t* bytes, std::size_t& i, std::size_t size) {
    std::uint64_t total = 0;
    while (size - i >= 2 * kWordsPerStep) {
        const std::size_t steps = std::min((size - i) / (2 * kWordsPerStep), kStepsPerLaneFold);
        std::uint32_t lanes[kWordsPerStep] = {};
        for (std::size_t step = 0; step < steps; ++step, i += 2 * kWordsPerStep) {
            std::uint16_t words[kWordsPerStep];
            std::memcpy(words, bytes + i, sizeof words);
            for (std::size_t lane = 0; lane < kWordsPerStep; ++lane) {
                lanes[lane] += words[lane];
            }
        }
        for (const std::uint32_t lane : lanes) {
            total += lane;
        }
    }
    return total;
}
#endif

// The plain sum of the little-endian words of bytes; size is even.
std::uint64_t SumOfWords(const std::uint8_t* bytes, std::size_t size) {
    std::size_t i = 0;
    std::uint64_t total = 0;
    if constexpr (std::endian::native == std::endian::little) {
        total = SumOfWholeSteps(bytes, i, size);
    }
    for (; i + 1 < size; i += 2) {
        total += bytes[i] | (std::uint64_t{bytes[i + 1]} << 8);
    }
    return total;
}

std::size_t ChecksumField(const std::vector<std::uint8_t>& image, std::size_t nt_offset) {
    const std::size_t field = nt_offset + kChecksumOffset;
    Require(field + kChecksumSize <= image.size(),
            "the image's optional header does not lie inside it");
    return field;
}

}  // namespace

void PeChecksumSum::Add(const std::uint8_t* bytes, std::size_t size, std::uint64_t position) {
    std::size_t i = 0;
    if (size > 0 && position % 2 == 1) {
        words_ += std::uint64_t{bytes[0]} << 8;
        i = 1;
    }
    const std::size_t even_size = (size - i) / 2 * 2;
    words_ += SumOfWords(bytes + i, even_size);
    i += even_size;
    if (i < size) {
        words_ += bytes[i];
    }
}

void PeChecksumSum::AddAt(const PeChecksumSum& gathered_at_even, std::uint64_t position) {
    const std::uint64_t words = gathered_at_even.words_;
    if (position % 2 == 0 || words == 0) {
        words_ += words;
        return;
    }
    // The residue in [1, 0xFFFF] (not 0: the bytes were not all zero, and
    // Checksum tells an all-zero sum apart), times 256 (2^16 is 1 modulo
    // 0xFFFF, so swapping a word's bytes multiplies it by 256).
    words_ += ((words - 1) % kOnesComplementModulus + 1) * 256;
}

void PeChecksumSum::Subtract(const PeChecksumSum& added) {
    // Adding 0xFFFF - r takes r away modulo 0xFFFF and leaves the sum above
    // zero, which Checksum reads as bytes that are not all zero.
    words_ += kOnesComplementModulus - added.words_ % kOnesComplementModulus;
}

std::optional<PeChecksumSum> PeChecksumSum::FromChecksum(std::uint32_t checksum,
                                                         std::uint64_t file_size) {
    // The checksum is the folded sum, at most 0xFFFF, plus the file's length
    // in 32 bits.
    const std::uint32_t folded = checksum - static_cast<std::uint32_t>(file_size);
    if (folded > kOnesComplementModulus) {
        return std::nullopt;
    }
    PeChecksumSum sum;
    sum.words_ = folded;
    return sum;
}

std::uint32_t PeChecksumSum::Checksum(std::uint64_t file_size) const {
    // Folding every carry back in, word by word, ends at the value in
    // [1, 0xFFFF] congruent to the plain sum, or at 0 when every word was 0.
    const std::uint64_t folded = words_ == 0 ? 0 : (words_ - 1) % kOnesComplementModulus + 1;
    return static_cast<std::uint32_t>(folded + file_size);
}

std::uint32_t ComputePeChecksum(const std::vector<std::uint8_t>& image,
                                std::size_t checksum_offset) {
    PeChecksumSum sum;
    const std::size_t field_start = std::min(checksum_offset, image.size());
    const std::size_t field_end = std::min(checksum_offset + kChecksumSize, image.size());
    sum.Add(image.data(), field_start, 0);
    sum.Add(image.data() + field_end, image.size() - field_end, field_end);
    return sum.Checksum(image.size());
}

std::uint32_t StoredPeChecksum(const std::vector<std::uint8_t>& image, std::size_t nt_offset) {
    return package_layout::ReadU32(image.data(), ChecksumField(image, nt_offset));
}

void UpdatePeChecksum(std::vector<std::uint8_t>& image, std::size_t nt_offset) {
    const std::size_t field = ChecksumField(image, nt_offset);
    WriteU32(image, field, ComputePeChecksum(image, field));
}

}  // namespace tag_writer
