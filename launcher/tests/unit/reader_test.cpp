// The payload reader over stored payloads from our own frame settings and
// from the zstd command line tool, including damaged ones.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>

#include "unpack/report.h"
#include "payload/reader.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"

namespace {

class ReaderTest : public SeamTest {
protected:
    // Opens a stored payload kept alive by the fixture.
    Outcome open(const std::string &stored) {
        payload = stored;
        return capture([&] {
            PayloadStatus opened = open_payload_at(reinterpret_cast<const unsigned char *>(payload.data()), payload.size());
            if (opened != PayloadStatus::ok) report_payload_failure(opened);
        });
    }
    Outcome read(std::string &into, size_t count) {
        std::string chunk(count, '\0');
        Outcome outcome = capture([&] {
            PayloadStatus status = read_payload_bytes(chunk.data(), count);
            if (status != PayloadStatus::ok) report_payload_failure(status);
        });
        if (outcome.ending == Ending::returned) into += chunk;
        return outcome;
    }
    void expect_decode_error(const Outcome &outcome) {
        EXPECT_EQ(outcome.ending, Ending::exited);
        EXPECT_EQ(outcome.exit_code, 2);
        EXPECT_EQ(outcome.standard_output, "Error, couldn't decode attached data.\n");
        EXPECT_EQ(outcome.standard_error, "");
    }
    std::string payload;
};

TEST_F(ReaderTest, ExampleStreamInRequestsOfTheCallersSize) {
    ASSERT_EQ(open(read_file(test_data("example_packer.payload"))).ending, Ending::returned);
    std::string got;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(read(got, 2).ending, Ending::returned);
    ASSERT_EQ(read(got, 8).ending, Ending::returned);
    ASSERT_EQ(read(got, 2).ending, Ending::returned);
    ASSERT_EQ(read(got, 2).ending, Ending::returned);
    EXPECT_EQ(got, read_file(test_data("example.stream")));
    EXPECT_EQ(got.size(), 20u);
    close_payload();
}

TEST_F(ReaderTest, ZeroByteRequestMakesNoDecoderCall) {
    ASSERT_EQ(open(read_file(test_data("example_packer.payload"))).ending, Ending::returned);
    uint64_t before = payload_decoder_calls();
    std::string got;
    ASSERT_EQ(read(got, 0).ending, Ending::returned);
    EXPECT_EQ(payload_decoder_calls(), before);
    ASSERT_EQ(read(got, 2).ending, Ending::returned);
    EXPECT_EQ(payload_decoder_calls(), before + 1);
    // The rest of the 20 bytes came with that one call.
    ASSERT_EQ(read(got, 18).ending, Ending::returned);
    EXPECT_EQ(payload_decoder_calls(), before + 1);
}

// Requests of awkward sizes across the window's edge and many refills give
// the stream byte for byte, for frames of every encoder setting.
TEST_F(ReaderTest, RequestsSpanningRefillsAndFramesOfOtherEncoders) {
    const std::string expected = read_file(test_data("big.stream"));
    const size_t sizes[] = {1, 2, 131071, 131072, 131073, 7, 300000, 8};
    for (const char *name : {"big_packer.payload", "big_checksum.payload", "big_level1.payload"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(open(read_file(test_data(name))).ending, Ending::returned);
        std::string got;
        for (size_t i = 0; got.size() < expected.size(); ++i) {
            size_t count = std::min(sizes[i % 8], expected.size() - got.size());
            ASSERT_EQ(read(got, count).ending, Ending::returned) << "at " << got.size();
        }
        EXPECT_TRUE(got == expected);
        close_payload();
    }
}

TEST_F(ReaderTest, WindowOfTwoToThe28IsRefusedAtTheFirstRequest) {
    std::string stored = read_file(test_data("window28.payload"));
    ASSERT_EQ(static_cast<unsigned char>(stored[3 + 5]), 0x90);  // window descriptor: 2^28
    ASSERT_EQ(open(stored).ending, Ending::returned);
    std::string got;
    expect_decode_error(read(got, 2));
}

TEST_F(ReaderTest, StreamWithoutEndRecordFailsWhenReadPastTheFrame) {
    ASSERT_EQ(open(read_file(test_data("no_end.payload"))).ending, Ending::returned);
    std::string got;
    ASSERT_EQ(read(got, 4 + 8 + 3).ending, Ending::returned);
    expect_decode_error(read(got, 2));
}

// Reads hand out a frame's content as it decodes, in place where the window
// holds a whole request and copied where one runs past the window's end; the
// frame's checksum is tested when the frame is finished.
TEST_F(ReaderTest, ContentInPlaceOrCopiedAndTheChecksumTestedAtTheEnd) {
    struct Case {
        const char *payload, *stream;
        bool holds;
    };
    for (const Case &c : {Case{"big_checksum.payload", "big.stream", true},
                          Case{"bad_checksum.payload", "big.stream", false},
                          Case{"example_checksum.payload", "example.stream", true},
                          Case{"bad_example_checksum.payload", "example.stream", false}}) {
        SCOPED_TRACE(c.payload);
        const std::string stream = read_file(test_data(c.stream));
        ASSERT_EQ(open(read_file(test_data(c.payload))).ending, Ending::returned);
        std::string got;
        size_t in_place = 0, copied = 0;
        // Requests of 30000 bytes never line up with the 131072-byte windows.
        while (got.size() < stream.size()) {
            uint64_t count = std::min<uint64_t>(30000, stream.size() - got.size());
            const unsigned char *bytes = nullptr;
            ASSERT_EQ(take_payload_bytes(count, &bytes), PayloadStatus::ok);
            std::string chunk(count, '\0');
            if (bytes != nullptr) {
                chunk.assign(reinterpret_cast<const char *>(bytes), count);
                ++in_place;
            } else {
                ASSERT_EQ(read_payload_bytes(chunk.data(), count), PayloadStatus::ok);
                ++copied;
            }
            got += chunk;
        }
        EXPECT_EQ(got, stream);
        if (stream.size() > 3 * 131072) {
            EXPECT_GT(in_place, 3 * copied) << copied;
        }
        Outcome finished = capture([] {
            PayloadStatus status = finish_payload_frame();
            if (status != PayloadStatus::ok) report_payload_failure(status);
        });
        if (c.holds) {
            EXPECT_EQ(finished.ending, Ending::returned);
        } else {
            expect_decode_error(finished);
        }
        close_payload();
    }
}

TEST_F(ReaderTest, MarkerMustMatchExactly) {
    const std::string good = read_file(test_data("example_packer.payload"));
    for (const char *marker : {"XEQ", "WXQ", "WEX", "weq", "WeQ", "WEq"}) {
        std::string stored = marker + good.substr(3);
        Outcome outcome = open(stored);
        EXPECT_EQ(outcome.ending, Ending::exited) << marker;
        EXPECT_EQ(outcome.exit_code, 2);
        EXPECT_EQ(outcome.standard_output, "Error, couldn't find attached data header.\n");
    }
    EXPECT_EQ(open("WE").standard_output, "Error, couldn't find attached data header.\n");
}

TEST_F(ReaderTest, AllocationFailuresAreReported) {
    const std::string good = read_file(test_data("example_packer.payload"));
    sys.malloc = [](size_t) -> void * { return nullptr; };
    Outcome outcome = open(good);
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_output, "Error, couldn't allocate memory.\n");
    sys.malloc = real_sys.malloc;
    sys.ZSTD_createDCtx = []() -> ZSTD_DCtx_s * { return nullptr; };
    outcome = open(good);
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_output, "Error, couldn't allocate memory.\n");
}

// Blocks that run into the trailer leave the decoder with no input and no
// output: the request cannot be met and is reported as damage, never a hang.
TEST_F(ReaderTest, TruncatedFrameIsDamage) {
    std::string stored = read_file(test_data("big_packer.payload"));
    stored.resize(stored.size() / 2);
    ASSERT_EQ(open(stored).ending, Ending::returned);
    std::string got;
    Outcome outcome;
    do outcome = read(got, 100000);
    while (outcome.ending == Ending::returned);
    expect_decode_error(outcome);
}

// Found by the payload fuzz target: a raw block that runs into the trailer
// lets the call that fills the window take the last input and keep output
// back. That output is the stream's all the same, whatever the request sizes.
TEST_F(ReaderTest, OutputKeptBackWithTheLastInputComesInALaterRequest) {
    const unsigned char stored[] = {
        0x57, 0x45, 0x51, 0x28, 0xb5, 0x2f, 0xfd, 0x00, 0x88, 0x94, 0x00, 0x00, 0x48, 0x61, 0x00,
        0x00, 0x00, 0xf4, 0xff, 0x01, 0x00, 0x78, 0x02, 0x00, 0xf0, 0xff, 0x20, 0x05, 0x0b, 0xb8,
        0x11, 0x04, 0x00, 0x00, 0x00, 0x23, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (size_t first : {131074u, 131072u}) {
        SCOPED_TRACE(first);
        ASSERT_EQ(open(std::string(reinterpret_cast<const char *>(stored), sizeof stored)).ending, Ending::returned);
        std::string got;
        ASSERT_EQ(read(got, first).ending, Ending::returned);
        ASSERT_EQ(read(got, 131074 - first).ending, Ending::returned);
        // Entry "a" with 131060 bytes, then the end record from the block that ran on.
        EXPECT_EQ(got.substr(0, 4), std::string("a\0\0\0", 4));
        EXPECT_EQ(got.substr(131072), std::string(2, '\0'));
        close_payload();
    }
}

}  // namespace
