// Served exchanges: what the client sends, what the server prints and
// what comes back on the wire.

#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

namespace
{

using namespace harness;

struct Exchange {
	std::string name;
	std::string (*port_argument)(int port);
	std::string message;
	std::string printed;      // the message as it must appear after the heading
	in_addr host = localhost; // where the client reaches the server
};

std::string plain(int port) { return std::to_string(port); }
std::string padded(int port) { return " \t+" + std::to_string(port) + "junk"; }
std::string wrapped(int port) { return std::to_string(port + 65536); }
std::string negative(int port) { return std::to_string(port - 65536); }
// Decimal all the same, not octal as a C literal would be.
std::string leading_zero(int port) { return plain(port).insert(0, 1, '0'); }

// The reply must be exactly the acknowledgement, then the end of the
// stream, by reset only when bytes were left unread. A failure of the
// harness is the case's failure, under whatever trace the caller set.
void expect_served(const Exchange &served)
{
	try {
		Port port;
		Outcome outcome =
			exchange(harness::server({served.port_argument(port.number), "ignored"}),
				 port.number, served.message, -1, {}, served.host);
		EXPECT_EQ(outcome.wire, reply);
		EXPECT_EQ(outcome.reset, served.message.size() > 255);
		EXPECT_EQ(outcome.result.out, heading + served.printed + "\n");
		EXPECT_EQ(outcome.result.err, "");
		EXPECT_EQ(outcome.result.status, 0);
	} catch (const std::exception &failure) {
		ADD_FAILURE() << failure.what();
	}
}

const Exchange exchanges[] = {
	{"Text", plain, "hello", "hello"},
	{"NothingSent", plain, "", ""},
	{"ExactlyOneRead", plain, std::string(255, 'y'), std::string(255, 'y')},
	{"LongerThanOneRead", plain, std::string(300, 'x'), std::string(255, 'x')},
	{"ZeroByteEndsText", plain, std::string("ab\0cd", 5), "ab"},
	{"PercentSignsLiteral", plain, "%s %n %d %%", "%s %n %d %%"},
	{"OwnLineFeeds", plain, "two\nlines\n", "two\nlines\n"},
	{"PortWithBlanksSignAndTrailer", padded, "a", "a"},
	{"PortAbove16Bits", wrapped, "b", "b"},
	{"NegativePort", negative, "c", "c"},
	{"PortWithLeadingZero", leading_zero, "e", "e"},
	// Every local address, not 127.0.0.1 alone.
	{"OtherLocalAddress", plain, "d", "d", {htonl(INADDR_LOOPBACK + 1)}},
};

void PrintTo(const Exchange &exchange, std::ostream *os) { *os << exchange.name; }

class Served : public testing::TestWithParam<Exchange>
{
};

TEST_P(Served, PrintsMessageAndAcknowledges) { expect_served(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Table, Served, testing::ValuesIn(exchanges),
			 testing::PrintToStringParamName());

// Random messages of 0 to 600 bytes of any value, from a fixed seed unless
// SERVER_TEST_SEED gives another; the seed is printed with every failure.
TEST(Random, MessagesPrintedUpToZeroByteAndOneRead)
{
	const char *given = std::getenv("SERVER_TEST_SEED");
	std::string digits = given != nullptr ? given : "20261208";
	ASSERT_TRUE(!digits.empty() && digits.size() <= 9 &&
		    digits.find_first_not_of("0123456789") == std::string::npos)
		<< "SERVER_TEST_SEED must be a decimal number of at most 9 digits, not \"" << digits
		<< '"';
	auto seed = static_cast<unsigned>(std::stoul(digits));
	std::mt19937 random(seed);
	std::uniform_int_distribution<size_t> length(0, 600);
	std::uniform_int_distribution<int> byte(0, 255);
	for (int round = 0; round < 200 && !HasFailure(); ++round) {
		std::string message(length(random), '\0');
		std::generate(message.begin(), message.end(),
			      [&] { return static_cast<char>(byte(random)); });
		// Zero bytes are as likely as any other; make some messages free
		// of them, so long texts are cut by the read and not only by a zero.
		if (round % 2 == 0)
			std::replace(message.begin(), message.end(), '\0', 'z');
		std::string printed = message.substr(0, std::min(message.find('\0'), size_t{255}));
		SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) +
			     ", message " + testing::PrintToString(message));
		expect_served({"random", plain, message, printed});
	}
}

} // namespace
