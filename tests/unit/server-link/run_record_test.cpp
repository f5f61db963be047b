// The run record in the section: the server takes each record once, and a record that is damaged
// or cleared never passes for a count.
#include "server-link/run_record.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RunRecordTest, TakenOnceAndOnlyWhenWhole) {
  std::vector<unsigned char> section(server::kSectionSize, 0);
  unsigned char* view = section.data();
  EXPECT_EQ(server::TakeRunRecord(view), 0) << "a fresh section holds no record";

  server::PutRunRecord(view, 11);
  EXPECT_EQ(server::TakeRunRecord(view), 11);
  EXPECT_EQ(server::TakeRunRecord(view), 0) << "a record serves one run";

  // A count whose check word does not match (bytes left by something else) is no record.
  server::PutRunRecord(view, 11);
  view[server::kRunRecordOffset + 4] = 12;
  EXPECT_EQ(server::TakeRunRecord(view), 0);

  server::PutRunRecord(view, 7);
  server::ClearRunRecord(view);
  EXPECT_EQ(server::TakeRunRecord(view), 0);
}

}  // namespace
