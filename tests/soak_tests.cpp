// Hundreds of runs of the real tool against the simulator, each with a random file, a random
// fault at a random index (or none) and random answer delays, each checked against the model of
// what must happen (tests/expectations.h). Seeded: a failure names the seed and the case, and
//   SOAK_SEED=<seed> SOAK_CASE=<case> build/soak_tests
// runs that case alone again. SOAK_RUNS sets how many cases run (default 400).
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/device_runs.h"

namespace {

constexpr unsigned long default_seed = 20261211;

bool is_set(const char* name) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0';
}

// The whole number in `name`, or `fallback` when it is unset. Anything else is refused: a typo
// must not quietly run some other case.
unsigned long from_environment(const char* name, unsigned long fallback) {
    if (!is_set(name)) {
        return fallback;
    }
    const std::string text = std::getenv(name);
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' || errno == ERANGE) {
        throw std::invalid_argument(std::string(name) + "=" + text + ": not a whole number");
    }
    return value;
}

struct soak_case {
    std::size_t size = 0;
    std::string fault;  // empty: the device behaves
    std::size_t fault_index = 0;
    long jitter_us = 0;
    std::uint32_t content_seed = 0;
    unsigned long delay_seed = 0;
};

std::string describe(const soak_case& c) {
    std::ostringstream text;
    text << "size " << c.size << ", fault " << (c.fault.empty() ? "none" : c.fault) << "@"
         << c.fault_index << ", jitter " << c.jitter_us << " us";
    return text.str();
}

// Each case depends on the seed and its own number only, so that it can be replayed alone.
soak_case draw_case(unsigned long seed, unsigned long number) {
    std::seed_seq sequence{seed, number};
    std::mt19937 random(sequence);
    soak_case c;
    // Mostly small files, so that hundreds of runs fit in about a minute, but up to 4 KiB.
    const std::size_t limits[] = {0, 1, 16, 256, 1024, 4096};
    c.size = std::uniform_int_distribution<std::size_t>(
        0, limits[std::uniform_int_distribution<std::size_t>(0, 5)(random)])(random);
    const char* faults[] = {"",          "",           "",       "echo",    "address",
                            "msb-first", "extra-byte", "hangup", "silence", "cut-short"};
    // Silence and a cut-short frame cost the whole answer deadline, so they are drawn less often
    // than the others.
    std::size_t pick = std::uniform_int_distribution<std::size_t>(0, 9)(random);
    if (pick >= 8 && std::uniform_int_distribution<int>(0, 3)(random) != 0) {
        pick = 0;
    }
    c.fault = faults[pick];
    c.fault_index = std::uniform_int_distribution<std::size_t>(0, c.size + 2)(random);
    // Uneven answers; now and then one that comes close to the deadline, on a tiny file.
    const long jitters[] = {0, 50, 500};
    c.jitter_us = jitters[std::uniform_int_distribution<int>(0, 2)(random)];
    if (c.size <= 3 && std::uniform_int_distribution<int>(0, 9)(random) == 0) {
        c.jitter_us = 1500000;
    }
    c.content_seed = static_cast<std::uint32_t>(random());
    c.delay_seed = random() % 1000000000;
    return c;
}

TEST(soak, every_run_keeps_the_promises_of_the_model) {
    const unsigned long seed = from_environment("SOAK_SEED", default_seed);
    const unsigned long runs = from_environment("SOAK_RUNS", 400);
    std::vector<unsigned long> numbers;
    if (is_set("SOAK_CASE")) {
        numbers.push_back(from_environment("SOAK_CASE", 0));
    } else {
        for (unsigned long number = 0; number < runs; ++number) {
            numbers.push_back(number);
        }
    }

    for (const unsigned long number : numbers) {
        const soak_case c = draw_case(seed, number);
        const std::string replay = "SOAK_SEED=" + std::to_string(seed) +
                                   " SOAK_CASE=" + std::to_string(number) + " (" + describe(c) +
                                   ")";
        std::vector<std::string> options = {"--jitter-us", std::to_string(c.jitter_us), "--seed",
                                            std::to_string(c.delay_seed)};
        std::vector<std::string> faults;
        if (!c.fault.empty()) {
            faults.push_back(c.fault + "@" + std::to_string(c.fault_index));
            options.insert(options.end(), {"--fault", faults.back()});
        }
        check_case(native_build, {replay, pseudo_random_bytes(c.size, c.content_seed), options,
                                  written(c.size, faults)});
        if (HasFailure()) {
            return;  // one replayable case says it all
        }
    }
}

}  // namespace
