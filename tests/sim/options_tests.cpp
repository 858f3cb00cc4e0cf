// The simulator's command line: what it takes, and each bad value refused with status 2 and a
// message that states the limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/options.h"
#include "tests/process_helpers.h"

namespace {

const std::string sim = QUILLBOX_SIM_PATH;

const std::string delay_limit = "a whole number of microseconds from 0 to 3600000000 (an hour)";
const std::string number_limit = "a whole number from 0 to 18446744073709551615";
const std::string fault_limit =
    "use KIND@INDEX with KIND one of echo, address, msb-first, extra-byte, cut-short, silence, "
    "hangup, and INDEX " +
    number_limit;

bool parse(std::vector<std::string> args, options& out, std::string& error) {
    args.insert(args.begin(), "quillbox-sim");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(args.size()), argv.data(), out, error);
}

struct bad_line {
    std::vector<std::string> args;
    std::string message;
};

const std::vector<bad_line> bad_lines = {
    {{"--latency-us", "3600000001"}, "--latency-us needs " + delay_limit + ", not '3600000001'"},
    {{"--latency-us=-1"}, "--latency-us needs " + delay_limit + ", not '-1'"},
    {{"--jitter-us", "1.5"}, "--jitter-us needs " + delay_limit + ", not '1.5'"},
    {{"--jitter-us", " 7"}, "--jitter-us needs " + delay_limit + ", not ' 7'"},
    // Once bounded without a word by the latency's hour.
    {{"--seed", "18446744073709551616"},
     "--seed needs " + number_limit + ", not '18446744073709551616'"},
    {{"--seed=+3"}, "--seed needs " + number_limit + ", not '+3'"},
    {{"--fault", "echo"}, "'echo' is not a fault; " + fault_limit},
    {{"--fault", "shout@3"}, "'shout@3' is not a fault; " + fault_limit},
    {{"--fault", "echo@-1"}, "'echo@-1' is not a fault; " + fault_limit},
    {{"--fault", "hangup@18446744073709551616"},
     "'hangup@18446744073709551616' is not a fault; " + fault_limit},
    {{"--image"}, "--image needs a value"},
    {{"--stats="}, "--stats needs a value"},
    {{"--line-rate=yes"}, "--line-rate takes no value"},
    {{"--help=yes"}, "--help takes no value"},
    {{"--speed", "9600"}, "unknown option '--speed'"},
    {{"eeprom.img"}, "unexpected argument 'eeprom.img'"},
    {{"--"}, "'--' must be followed by a COMMAND"},
};

TEST(options, each_bad_value_is_refused_with_its_limit) {
    for (const bad_line& line : bad_lines) {
        options out;
        std::string error;
        EXPECT_FALSE(parse(line.args, out, error)) << line.message;
        EXPECT_EQ(error, line.message);
    }
}

TEST(options, the_program_ends_with_status_2_and_the_message) {
    for (const bad_line& line : bad_lines) {
        std::vector<std::string> argv = line.args;
        argv.insert(argv.begin(), sim);
        const run_result result = run_process(argv, 10);
        EXPECT_EQ(result.status, 2) << line.message;
        EXPECT_EQ(result.err,
                  "quillbox-sim: " + line.message + "\nTry 'quillbox-sim --help' for more.\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST(options, values_up_to_the_limits_are_taken) {
    options out;
    std::string error;
    ASSERT_TRUE(
        parse({"--latency-us=3600000000", "--jitter-us", "0", "--seed", "18446744073709551615",
               "--fault", "echo@0", "--fault=hangup@18446744073709551615", "--line-rate", "--image",
               "e.img", "--port=/dev/ttyS1", "--stats", "s.txt", "--", "tool", "{}", "--seed"},
              out, error))
        << error;
    EXPECT_EQ(out.latency_us, 3600000000);
    EXPECT_EQ(out.jitter_us, 0);
    EXPECT_EQ(out.seed, 18446744073709551615U);
    ASSERT_EQ(out.faults.size(), 2U);
    EXPECT_EQ(out.faults[0].kind, fault_kind::echo);
    EXPECT_EQ(out.faults[0].index, 0U);
    EXPECT_EQ(out.faults[1].kind, fault_kind::hangup);
    EXPECT_EQ(out.faults[1].index, 18446744073709551615U);
    EXPECT_TRUE(out.line_rate);
    EXPECT_EQ(out.image_path, "e.img");
    EXPECT_EQ(out.port_path, "/dev/ttyS1");
    EXPECT_EQ(out.stats_path, "s.txt");
    EXPECT_EQ(out.command, (std::vector<std::string>{"tool", "{}", "--seed"}));
}

}  // namespace
