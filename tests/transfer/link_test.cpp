// Block writes and reads on a link to the virtual camera: round trips, the
// camera's refusals, and every failure path with the state it leaves.
#include <chrono>
#include <filesystem>

#include "core/test_hooks.h"
#include "tests/transfer/fixture.h"

namespace torvi::test {
namespace {

using Clock = std::chrono::steady_clock;
using hooks::Knob;
using hooks::ScopedKnob;

constexpr uint8_t kPlainType = 4;  // no restart after a write

class Link : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    plug_and_open();
  }
  int write(uint8_t type, uint16_t version, const std::vector<uint8_t> &bytes) {
    return torvi_bin_data_write(&ll, type, version, 0, put("in.bin", bytes).c_str());
  }
  bool block_is_invalid(uint8_t type) { return !cam->flash_block(type).valid; }
};

class RoundTrip : public Link, public ::testing::WithParamInterface<size_t> {};

TEST_P(RoundTrip, BlockComesBackByteForByte) {
  const size_t n = GetParam();
  const auto bytes = random_bytes(n, static_cast<uint32_t>(n));
  ASSERT_EQ(write(kPlainType, 1, bytes), 1);
  const vcam::FlashBlock stored = cam->flash_block(kPlainType);
  EXPECT_TRUE(stored.valid);
  EXPECT_EQ(stored.version, 1);
  EXPECT_EQ(stored.data, bytes);
  EXPECT_EQ(cam->flash_stats().chunks_taken, (n + 1017) / 1018);
  EXPECT_EQ(cam->flash_stats().chunks_refused, 0u);

  const std::string out = dir.file("out.bin");
  ASSERT_EQ(torvi_bin_data_read(&ll, kPlainType, out.c_str()), 1);
  EXPECT_EQ(file_bytes(out), bytes);
  EXPECT_EQ(cam->flash_stats().payload_pieces, (n + 449) / 450);
  EXPECT_EQ(cam->flash_stats().restarts, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip, ::testing::Values(1, 1018, 1019, 2036, 1u << 20));

TEST_F(Link, EmptyStoredBlockReadsAsEmptyFileButEmptyFileIsNeverWritten) {
  cam->set_flash_block(kPlainType, 3, {});
  const std::string out = dir.file("empty.bin");
  ASSERT_EQ(torvi_bin_data_read(&ll, kPlainType, out.c_str()), 1);
  EXPECT_TRUE(std::filesystem::exists(out));
  EXPECT_EQ(std::filesystem::file_size(out), 0u);
  EXPECT_EQ(cam->flash_stats().payload_pieces, 0u);

  const uint64_t before = cam->stats().control_transfers;
  EXPECT_EQ(write(kPlainType, 9, {}), -1);
  EXPECT_EQ(cam->stats().control_transfers, before);  // nothing sent
  EXPECT_TRUE(logged("[torvi_bin_data_write] data upgrade failed!\n"));
  EXPECT_EQ(cam->flash_block(kPlainType).version, 3);
}

TEST_F(Link, OneChunkAtExactly1018BytesAndALastChunkOfOneByte) {
  ASSERT_EQ(write(kPlainType, 1, random_bytes(1018, 1)), 1);
  EXPECT_EQ(cam->flash_stats().chunks_taken, 1u);
  ASSERT_EQ(write(kPlainType, 2, random_bytes(1019, 2)), 1);
  EXPECT_EQ(cam->flash_stats().chunks_taken, 3u);
  EXPECT_EQ(cam->flash_block(kPlainType).data, random_bytes(1019, 2));
}

TEST_F(Link, ReadsInPiecesOf450Bytes) {
  cam->set_flash_block(5, 1, random_bytes(900, 3));
  ASSERT_EQ(torvi_bin_data_read(&ll, 5, dir.file("a").c_str()), 1);
  EXPECT_EQ(cam->flash_stats().payload_pieces, 2u);
  cam->set_flash_block(5, 1, random_bytes(901, 3));
  ASSERT_EQ(torvi_bin_data_read(&ll, 5, dir.file("b").c_str()), 1);
  EXPECT_EQ(cam->flash_stats().payload_pieces, 5u);
  EXPECT_EQ(file_bytes(dir.file("b")), random_bytes(901, 3));
}

TEST_F(Link, NullPathReadsIntoCalibBinInTheWorkingFolder) {
  ScopedChdir in(dir.path());
  ASSERT_EQ(torvi_bin_data_read(&ll, 2, nullptr), 1);
  EXPECT_EQ(file_bytes(dir.file("calib.bin")), cam->flash_block(2).data);
}

TEST_F(Link, NoValidDataFailsWithoutCreatingTheFile) {
  cam->erase_flash_block(6);
  const std::string out = dir.file("none.bin");
  EXPECT_EQ(torvi_bin_data_read(&ll, 6, out.c_str()), -1);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_TRUE(logged("[torvi_bin_data_read] No valid data to read, please check\n"));
  EXPECT_TRUE(files().empty());
}

TEST_F(Link, SameOrOlderVersionIsRefusedBeforeAnythingIsSent) {
  cam->set_flash_block(kPlainType, 7, random_bytes(10, 1));
  EXPECT_EQ(write(kPlainType, 7, random_bytes(100, 2)), -1);
  EXPECT_TRUE(logged("[torvi_bin_data_write] Wrong version(Target:7,Now:7)\n"));
  EXPECT_EQ(write(kPlainType, 6, random_bytes(100, 2)), -1);
  EXPECT_EQ(cam->flash_stats().announces, 0u);
  EXPECT_EQ(cam->flash_block(kPlainType).data, random_bytes(10, 1));
  EXPECT_EQ(write(kPlainType, 8, random_bytes(100, 2)), 1);
}

TEST_F(Link, TheVersionOfTheTypeBeingWrittenDecidesNotTheFirmwares) {
  // Firmware (type 0) is at 0x0143; block 5 holds version 2.
  cam->set_flash_block(5, 2, random_bytes(10, 1));
  EXPECT_EQ(write(5, 3, random_bytes(50, 4)), 1);
  EXPECT_TRUE(logged("Version:2,type:5, addr:0x"));
  // A higher stored version of this type refuses, whatever the firmware's.
  cam->set_flash_block(5, 0x9000, random_bytes(10, 1));
  EXPECT_EQ(write(5, 0x8000, random_bytes(50, 4)), -1);
}

TEST_F(Link, AnErasedBlockTakesAnyVersion) {
  cam->erase_flash_block(kPlainType);  // reports version 0xFFFF, no valid data
  EXPECT_EQ(write(kPlainType, 1, random_bytes(3000, 5)), 1);
  EXPECT_EQ(cam->flash_block(kPlainType).version, 1);
}

TEST_F(Link, UnknownTypeIsRefusedByTheCameraAtTheAnnouncement) {
  EXPECT_EQ(write(9, 1, random_bytes(10, 1)), -1);
  EXPECT_TRUE(logged("data type 9 unknown"));
  EXPECT_TRUE(logged("[torvi_bin_data_write] data upgrade failed!\n"));
  EXPECT_EQ(cam->flash_stats().erases, 0u);
}

TEST_F(Link, ChunkNotTakenFailsAtOnceWithoutRetryAndLeavesTheBlockErased) {
  vcam::FlashFaults f;
  f.refuse_chunk = 1;
  cam->set_flash_faults(f);
  EXPECT_EQ(write(kPlainType, 1, random_bytes(3000, 6)), -1);
  EXPECT_TRUE(logged("[torvi_bin_data_write] Data transfer failed A.indx1, 1\n"));
  EXPECT_EQ(cam->flash_stats().chunks_taken, 1u);
  EXPECT_EQ(cam->flash_stats().chunks_refused, 1u);
  EXPECT_TRUE(block_is_invalid(kPlainType));
  // The camera takes a new write afterwards.
  EXPECT_EQ(write(kPlainType, 1, random_bytes(3000, 6)), 1);
  EXPECT_EQ(cam->flash_block(kPlainType).data, random_bytes(3000, 6));
}

TEST_F(Link, ChunkWithBadCrcIsNotTaken) {
  vcam::FlashFaults f;
  f.corrupt_chunk = 0;
  cam->set_flash_faults(f);
  EXPECT_EQ(write(kPlainType, 1, random_bytes(500, 7)), -1);
  EXPECT_TRUE(logged("Data transfer failed A.indx0, 0\n"));
  EXPECT_TRUE(block_is_invalid(kPlainType));
}

TEST_F(Link, AckThatSkipsAChunkFails) {
  vcam::FlashFaults f;
  f.skip_after_chunk = 0;
  cam->set_flash_faults(f);
  EXPECT_EQ(write(kPlainType, 1, random_bytes(3000, 8)), -1);
  EXPECT_TRUE(logged("Data transfer failed B.\n"));
  EXPECT_TRUE(block_is_invalid(kPlainType));
}

TEST_F(Link, EraseThatNeverEndsIsGivenUpAtTheDeadline) {
  ScopedKnob limit(Knob::kEraseLimitMs, 300);
  vcam::FlashFaults f;
  f.endless_erase = true;
  cam->set_flash_faults(f);
  const auto t0 = Clock::now();
  EXPECT_EQ(write(kPlainType, 1, random_bytes(100, 9)), -1);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(300));
  EXPECT_TRUE(logged("flash erase still running after 300 ms: given up\n"));
  EXPECT_EQ(cam->flash_stats().chunks_taken, 0u);
  EXPECT_TRUE(block_is_invalid(kPlainType));
  cam->set_flash_faults({});
  EXPECT_EQ(write(kPlainType, 1, random_bytes(100, 9)), 1);
}

TEST_F(Link, SeveralErasingAcknowledgementsAreWaitedThrough) {
  vcam::FlashFaults f;
  f.erase_acks = 25;
  cam->set_flash_faults(f);
  EXPECT_EQ(write(kPlainType, 1, random_bytes(100, 10)), 1);
}

TEST_F(Link, UnplugMidTransferFailsAndLeavesAPartlyWrittenBlockThatReportsNoData) {
  vcam::FlashFaults f;
  f.unplug_at_chunk = 2;
  cam->set_flash_faults(f);
  EXPECT_EQ(write(kPlainType, 1, random_bytes(5000, 11)), -1);
  EXPECT_TRUE(logged("Data transfer failed D.\n"));
  EXPECT_TRUE(logged("[torvi_bin_data_write] data upgrade failed!\n"));
  EXPECT_FALSE(cam->attached());
  EXPECT_EQ(cam->flash_stats().chunks_taken, 2u);
  // Back on the bus: the block reports no valid data and can be written again.
  cam->plug();
  torvi_ll_dev_close(&ll);
  ASSERT_EQ(torvi_ll_dev_open(&ll), &ll);
  EXPECT_EQ(torvi_bin_data_read(&ll, kPlainType, dir.file("x").c_str()), -1);
  EXPECT_EQ(write(kPlainType, 1, random_bytes(5000, 11)), 1);
}

TEST_F(Link, FailedPayloadPieceFailsTheReadAndLeavesNoFile) {
  cam->set_flash_block(5, 1, random_bytes(1000, 12));
  vcam::FlashFaults f;
  f.fail_payload_piece = 1;
  cam->set_flash_faults(f);
  const std::string out = dir.file("out.bin");
  EXPECT_EQ(torvi_bin_data_read(&ll, 5, out.c_str()), -1);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_TRUE(files().empty());  // no partial file either
  EXPECT_TRUE(logged("flash read error at 450"));
}

TEST_F(Link, FailedReadKeepsAnOlderFileOfTheSameNameAsItWas) {
  cam->set_flash_block(5, 1, random_bytes(2000, 13));
  const std::string out = put("keep.bin", {'o', 'l', 'd'});
  vcam::FlashFaults f;
  f.fail_payload_piece = 3;
  cam->set_flash_faults(f);
  EXPECT_EQ(torvi_bin_data_read(&ll, 5, out.c_str()), -1);
  EXPECT_EQ(read_file(out), "old");
  EXPECT_EQ(files().size(), 1u);
  // Without the fault the read replaces it.
  EXPECT_EQ(torvi_bin_data_read(&ll, 5, out.c_str()), 1);
  EXPECT_EQ(file_bytes(out), random_bytes(2000, 13));
}

TEST_F(Link, ReadIntoAFolderThatDoesNotExistFails) {
  EXPECT_EQ(torvi_bin_data_read(&ll, 2, dir.file("no/such/folder/x.bin").c_str()), -1);
  EXPECT_TRUE(logged("[torvi_bin_data_read] File open failed\n"));
}

TEST_F(Link, WriteOfAMissingFileFails) {
  EXPECT_EQ(torvi_bin_data_write(&ll, kPlainType, 1, 0, dir.file("missing").c_str()), -1);
  EXPECT_TRUE(logged("[torvi_bin_data_write] File open failed\n"));
  EXPECT_EQ(cam->flash_stats().info_requests, 0u);
}

TEST_F(Link, PlainDataTypesNeitherResetNorWait) {
  const uint32_t resets = cam->stats().resets;
  const auto t0 = Clock::now();
  ASSERT_EQ(write(6, 1, random_bytes(100, 14)), 1);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(cam->stats().resets, resets);
  EXPECT_EQ(cam->flash_stats().restarts, 0u);
}

TEST_F(Link, DataTypeRestartIsWaitedForOnlyUntilTheCameraIsBack) {
  const auto t0 = Clock::now();
  ASSERT_EQ(write(2, 5, random_bytes(3000, 15)), 1);
  const auto took = Clock::now() - t0;
  EXPECT_GE(took, cfg.reset_absence);
  EXPECT_LT(took, std::chrono::milliseconds(6000));  // well below the 7 s upper bound
  EXPECT_EQ(cam->flash_stats().restarts, 1u);
  EXPECT_TRUE(logged("camera is back after"));
  // The link works again.
  ASSERT_NE(ll.priv, nullptr);
  torvi_ll_param_t p{};
  p.id = 3;
  EXPECT_TRUE(torvi_ll_param_get(&ll, &p, 1));
  EXPECT_EQ(cam->flash_block(2).version, 5);
}

TEST_F(Link, FirmwareWriteResetsTheCameraWhichComesBackWithTheNewVersion) {
  const auto image = random_bytes(20000, 16);
  ASSERT_EQ(torvi_ll_firmware_upgrade(&ll, 0, 0x0150, put("fw.bin", image).c_str()), 1);
  EXPECT_EQ(cam->flash_stats().restarts, 1u);
  EXPECT_EQ(cam->firmware_version(), 0x0150);
  EXPECT_TRUE(logged("[torvi_bin_data_write]  * Wait board to reset...\n"));
  EXPECT_TRUE(logged("!!! DO NOT RESET or POWER OFF the board until return !!!!\n"));
  ASSERT_NE(ll.priv, nullptr);
  torvi_ll_param_t p{};
  p.id = 3;
  ASSERT_TRUE(torvi_ll_param_get(&ll, &p, 1));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(p.val), p.len), "VCAM-T0-1.5.0");
  EXPECT_EQ(cam->flash_block(0).data, image);
}

TEST_F(Link, CameraThatDoesNotComeBackEndsTheWaitAtItsBoundWithTheLinkClosed) {
  ScopedKnob limit(Knob::kRestartLimitMs, 700);
  vcam::FlashFaults f;
  f.stay_away = true;
  cam->set_flash_faults(f);
  const auto t0 = Clock::now();
  EXPECT_EQ(write(3, 1, random_bytes(100, 17)), 1);  // the block itself was written
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(700));
  EXPECT_TRUE(logged("camera left and has not come back within 700 ms; the link is closed\n"));
  EXPECT_EQ(ll.priv, nullptr);
  EXPECT_TRUE(cam->flash_block(3).valid);
}

TEST_F(Link, CameraThatNeverLeavesIsWaitedForTheFullBound) {
  ScopedKnob limit(Knob::kRestartLimitMs, 400);
  vcam::FlashFaults f;
  f.no_restart = true;
  cam->set_flash_faults(f);
  const auto t0 = Clock::now();
  ASSERT_EQ(write(3, 1, random_bytes(100, 19)), 1);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(400));
  EXPECT_TRUE(logged("camera answered throughout: waited the full 400 ms\n"));
  EXPECT_EQ(cam->flash_stats().restarts, 0u);
  EXPECT_NE(ll.priv, nullptr);
}

TEST_F(Link, ActionHelpersRefuseWhatTheyDoNotKnow) {
  torvi_data_ack_t ack{};
  EXPECT_EQ(al_data_send_action_info(&ll, 3, &ack, nullptr), -1);
  torvi_data_chunk_t empty{0, 0};
  const uint8_t byte = 0;
  EXPECT_EQ(al_data_send_action_info(&ll, TORVI_DATA_ACT_CHUNK, &empty, &byte), -1);
  const uint64_t before = cam->stats().control_transfers;
  EXPECT_EQ(al_data_read_action_info(&ll, TORVI_DATA_ACT_ANNOUNCE, &ack), 1);
  EXPECT_EQ(cam->stats().control_transfers, before);
  uint8_t buf[451];
  EXPECT_FALSE(al_get_data_payload(&ll, buf, 451));
  EXPECT_FALSE(al_get_data_payload(&ll, buf, 0));
  EXPECT_EQ(cam->stats().control_transfers, before);
}

TEST_F(Link, ActionsOneByOneRunTheCamerasProtocol) {
  torvi_data_info_t info{};
  info.type = 2;
  ASSERT_TRUE(al_get_data_info(&ll, TORVI_DATA_ACT_GET_INFO, &info, sizeof info));
  EXPECT_EQ(info.type, 2);
  EXPECT_EQ(info.version, 1);
  EXPECT_EQ(info.size, cam->flash_block(2).data.size());
  uint8_t piece[10];
  ASSERT_TRUE(al_get_data_payload(&ll, piece, 10));
  EXPECT_TRUE(std::equal(piece, piece + 10, cam->flash_block(2).data.begin()));

  torvi_data_announce_t a{7, 0, 1, 5, 0};
  ASSERT_EQ(al_data_send_action_info(&ll, TORVI_DATA_ACT_ANNOUNCE, &a, nullptr), 1);
  torvi_data_ack_t ack{};
  ASSERT_EQ(al_data_read_action_info(&ll, TORVI_DATA_ACT_ACK_SHORT, &ack), 1);
  EXPECT_EQ(ack.next, 0u);
  EXPECT_EQ(ack.status, TORVI_DATA_ACK_INFO_OK);
  // A chunk before the erase is refused by the camera's verdict.
  torvi_data_chunk_t c{al_data_calc_crc(piece, 5), 5};
  EXPECT_EQ(al_data_send_action_info(&ll, TORVI_DATA_ACT_CHUNK, &c, piece), -1);
  EXPECT_TRUE(logged("chunk without erase"));
}

TEST_F(Link, RefusedAcknowledgementRequestFailsInTheSendingPhase) {
  vcam::DeviceFaults f;
  f.fail_next_command = true;
  cam->set_faults(f);
  torvi_data_ack_t ack{};
  EXPECT_EQ(al_data_read_action_info(&ll, TORVI_DATA_ACT_ACK, &ack), 0);
  EXPECT_TRUE(logged("[al_data_read_action_info] Write phase failed\n"));
}

}  // namespace
}  // namespace torvi::test
