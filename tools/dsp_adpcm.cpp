#include "dsp_adpcm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int MAX_SCALE_SHIFT = 12;

int clamp16(long long value)
{
    return static_cast<int>(std::clamp<long long>(value, std::numeric_limits<std::int16_t>::min(),
                                                  std::numeric_limits<std::int16_t>::max()));
}

int predict(int c1, int c2, int history1, int history2)
{
    return c1 * history1 + c2 * history2;
}

int decode_nibble(int nibble, int scale, int prediction)
{
    return clamp16((static_cast<long long>(nibble) * scale * 2048 + 1024 + prediction) >> 11);
}

struct FrameChoice {
    double error = std::numeric_limits<double>::infinity();
    unsigned char bytes[ADPCM_BYTES_PER_FRAME] = {};
    int history1 = 0;
    int history2 = 0;
};

// Encodes one frame with one predictor and scale; returns the squared error.
FrameChoice encode_frame(const std::int16_t* samples, std::size_t count, int predictor,
                         int scale_shift, int c1, int c2, int history1, int history2)
{
    FrameChoice choice;
    choice.error = 0;
    choice.bytes[0] = static_cast<unsigned char>((predictor << 4) | scale_shift);
    const int scale = 1 << scale_shift;
    for (std::size_t i = 0; i < ADPCM_SAMPLES_PER_FRAME; ++i) {
        const int target = i < count ? samples[i] : 0;
        const int prediction = predict(c1, c2, history1, history2);
        // The residual that the nibble must carry, in units of the scale.
        const double wanted = (target * 2048.0 - 1024.0 - prediction) / (2048.0 * scale);
        const int nibble = std::clamp(static_cast<int>(std::lround(wanted)), -8, 7);
        const int decoded = decode_nibble(nibble, scale, prediction);
        if (i < count) {
            choice.error += double(decoded - target) * double(decoded - target);
        }
        const unsigned char bits = static_cast<unsigned char>(nibble & 0xF);
        choice.bytes[1 + i / 2] |= (i % 2 == 0) ? static_cast<unsigned char>(bits << 4) : bits;
        history2 = history1;
        history1 = decoded;
    }
    choice.history1 = history1;
    choice.history2 = history2;
    return choice;
}

} // namespace

std::uint32_t adpcm_nibble_count(std::size_t sample_count)
{
    const std::size_t frames = sample_count / ADPCM_SAMPLES_PER_FRAME;
    const std::size_t rest = sample_count % ADPCM_SAMPLES_PER_FRAME;
    return static_cast<std::uint32_t>(frames * 16 + (rest > 0 ? rest + 2 : 0));
}

std::array<std::int16_t, 2> adpcm_best_predictor(const std::vector<std::int16_t>& samples)
{
    // Solve the normal equations of x[n] ~ a x[n-1] + b x[n-2].
    double r11 = 0, r12 = 0, r22 = 0, p1 = 0, p2 = 0;
    for (std::size_t n = 2; n < samples.size(); ++n) {
        const double x0 = samples[n], x1 = samples[n - 1], x2 = samples[n - 2];
        r11 += x1 * x1;
        r12 += x1 * x2;
        r22 += x2 * x2;
        p1 += x0 * x1;
        p2 += x0 * x2;
    }
    const double determinant = r11 * r22 - r12 * r12;
    if (determinant == 0) {
        return {0, 0};
    }
    const double a = (p1 * r22 - p2 * r12) / determinant;
    const double b = (p2 * r11 - p1 * r12) / determinant;
    const auto fixed = [](double value) {
        return static_cast<std::int16_t>(std::clamp(std::lround(value * 2048), -32768L, 32767L));
    };
    return {fixed(a), fixed(b)};
}

AdpcmStream adpcm_encode(const std::vector<std::int16_t>& samples,
                         const AdpcmCoefficients& coefficients)
{
    AdpcmStream stream{coefficients, {}};
    int history1 = 0, history2 = 0;
    for (std::size_t start = 0; start < samples.size(); start += ADPCM_SAMPLES_PER_FRAME) {
        const std::size_t count = std::min(ADPCM_SAMPLES_PER_FRAME, samples.size() - start);
        FrameChoice best;
        for (int predictor = 0; predictor < 8; ++predictor) {
            const std::size_t pair = 2 * static_cast<std::size_t>(predictor);
            for (int shift = 0; shift <= MAX_SCALE_SHIFT; ++shift) {
                const FrameChoice choice =
                    encode_frame(&samples[start], count, predictor, shift, coefficients[pair],
                                 coefficients[pair + 1], history1, history2);
                if (choice.error < best.error) {
                    best = choice;
                }
            }
        }
        stream.data.insert(stream.data.end(), std::begin(best.bytes), std::end(best.bytes));
        history1 = best.history1;
        history2 = best.history2;
    }
    return stream;
}

std::vector<std::int16_t> adpcm_decode(const unsigned char* data, std::size_t size,
                                       const AdpcmCoefficients& coefficients, int history1,
                                       int history2, std::size_t sample_count)
{
    std::vector<std::int16_t> samples;
    samples.reserve(sample_count);
    for (std::size_t frame = 0; frame + ADPCM_BYTES_PER_FRAME <= size;
         frame += ADPCM_BYTES_PER_FRAME) {
        const std::size_t pair = 2 * static_cast<std::size_t>((data[frame] >> 4) & 0x7);
        const int scale = 1 << (data[frame] & 0xF);
        for (std::size_t i = 0; i < ADPCM_SAMPLES_PER_FRAME && samples.size() < sample_count; ++i) {
            const unsigned char byte = data[frame + 1 + i / 2];
            int nibble = (i % 2 == 0) ? byte >> 4 : byte & 0xF;
            nibble = nibble >= 8 ? nibble - 16 : nibble;
            const int prediction =
                predict(coefficients[pair], coefficients[pair + 1], history1, history2);
            const int decoded = decode_nibble(nibble, scale, prediction);
            samples.push_back(static_cast<std::int16_t>(decoded));
            history2 = history1;
            history1 = decoded;
        }
    }
    return samples;
}
