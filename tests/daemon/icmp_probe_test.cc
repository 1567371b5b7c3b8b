// The ICMP echo probe: its message, which datagrams it takes for the reply, the time-out it sets.
#include "icmp_probe.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace pelmor {
namespace {

using Bytes = std::array<std::uint8_t, 8>;

// The one's-complement sum of big-endian 16-bit words, carries folded back in.
std::uint16_t ones_complement_sum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    sum += std::uint32_t{bytes[i]} << 8 | bytes[i + 1];
  while (sum > 0xFFFF)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

TEST(EchoRequest, IsTheEightByteMessageOfOurProcess) {
  EXPECT_EQ(echo_request(echo_identifier(4660)),
            (Bytes{0x08, 0x00, 0xE5, 0xCA, 0x12, 0x34, 0x00, 0x01}));
  EXPECT_EQ(echo_identifier(70000), 4464);
  EXPECT_EQ(echo_request(echo_identifier(70000)),
            (Bytes{0x08, 0x00, 0xE6, 0x8E, 0x11, 0x70, 0x00, 0x01}));
}

TEST(EchoRequest, ChecksumMakesTheWordsSumToAllOnes) {
  // 0xF7FE, 0xF7FF and 0xFFFF bring the sum to 0xFFFF, 0x10000 and 0x10800: the carry cases.
  const std::uint16_t identifiers[] = {0x0000, 0x0001, 0x00FF, 0x8000, 0xF7FE, 0xF7FF, 0xFFFF};
  for (std::uint16_t id : identifiers) {
    SCOPED_TRACE(id);
    const Bytes message = echo_request(id);
    EXPECT_EQ(ones_complement_sum(message), 0xFFFF);
    EXPECT_EQ(message[4] << 8 | message[5], id);
  }
}

TEST(IsMatchingReply, TakesOnlyOurEchoReplyAfterTheHeaderThatByteZeroAnnounces) {
  constexpr std::uint16_t kOurs = 0x1234;
  struct Case {
    const char* name;
    std::uint8_t first_byte;  // version and header length
    std::size_t size;
    std::uint8_t type, code;
    std::uint16_t identifier, sequence;
    bool matches;
  };
  const Case cases[] = {
      {"echo reply, 20-byte header", 0x45, 28, 0, 0, kOurs, 1, true},
      {"echo reply with a payload", 0x45, 84, 0, 0, kOurs, 1, true},
      {"version nibble not looked at", 0x05, 28, 0, 0, kOurs, 1, true},
      {"another program's identifier", 0x45, 28, 0, 0, 0x1235, 1, false},
      {"sequence number 2", 0x45, 28, 0, 0, kOurs, 2, false},
      {"code 1", 0x45, 28, 0, 1, kOurs, 1, false},
      {"echo request (our own, looped back)", 0x45, 28, 8, 0, kOurs, 1, false},
      {"destination unreachable", 0x45, 56, 3, 1, kOurs, 1, false},
      {"60-byte header, 67 bytes", 0x4F, 67, 0, 0, kOurs, 1, false},
      {"60-byte header, 68 bytes", 0x4F, 68, 0, 0, kOurs, 1, true},
      {"too short for the ICMP header", 0x45, 27, 0, 0, kOurs, 1, false},
      {"empty", 0x45, 0, 0, 0, kOurs, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The header and the ICMP fields are laid out in a buffer that is then cut to the case's
    // size; every byte not set is one that no field of interest has.
    const std::size_t at = 4 * std::size_t{c.first_byte & 0x0Fu};
    std::vector<std::uint8_t> datagram(at + 8, 0xA5);
    datagram[0] = c.first_byte;
    datagram[at] = c.type;
    datagram[at + 1] = c.code;
    datagram[at + 4] = static_cast<std::uint8_t>(c.identifier >> 8);
    datagram[at + 5] = static_cast<std::uint8_t>(c.identifier);
    datagram[at + 6] = static_cast<std::uint8_t>(c.sequence >> 8);
    datagram[at + 7] = static_cast<std::uint8_t>(c.sequence);
    datagram.resize(c.size);
    EXPECT_EQ(is_matching_reply(datagram, kOurs), c.matches);
  }
}

TEST(ReceiveTimeout, CutsToMicrosecondsAndNeverGivesZero) {
  using std::chrono::nanoseconds;
  struct Case {
    nanoseconds remaining;
    std::optional<std::pair<long, long>> timeout;  // seconds, microseconds
  };
  const Case cases[] = {
      {nanoseconds{-1'000'000}, std::nullopt},
      {nanoseconds{0}, std::nullopt},
      {nanoseconds{999}, std::nullopt},
      {nanoseconds{1'000}, std::pair{0L, 1L}},
      {nanoseconds{1'999}, std::pair{0L, 1L}},
      {nanoseconds{499'999'999}, std::pair{0L, 499'999L}},
      {nanoseconds{1'500'000'000}, std::pair{1L, 500'000L}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.remaining.count());
    const std::optional<timeval> got = receive_timeout(c.remaining);
    ASSERT_EQ(got.has_value(), c.timeout.has_value());
    if (got) {
      EXPECT_EQ(got->tv_sec, c.timeout->first);
      EXPECT_EQ(got->tv_usec, c.timeout->second);
    }
  }
}

}  // namespace
}  // namespace pelmor
