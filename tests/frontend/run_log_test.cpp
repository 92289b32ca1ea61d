#include "frontend/run_log.hpp"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace kavori::frontend {
namespace {

// The history keeps its newest lines only, and a line a crash cut short does not swallow the next.
TEST(RunLog, HistoryKeepsItsLastLines) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string path = dir.filePath("kavori/history.jsonl").toStdString();
  QByteArray lines;
  for (std::size_t k = 0; k < kHistoryLines; ++k)
    lines += "{\"n\":" + QByteArray::number(k) + "}\n";
  lines += "{\"cut";
  ASSERT_FALSE(AppendToHistory(path, QByteArray()));
  ASSERT_FALSE(AppendLine(path, lines));
  ASSERT_FALSE(AppendToHistory(path, "{\"n\":\"new\"}\n"));
  QByteArray kept;
  ASSERT_FALSE(ReadHistory(path, kept));
  const QList<QByteArray> split = kept.split('\n');
  ASSERT_EQ(split.size(), static_cast<qsizetype>(kHistoryLines) + 1);  // the last is empty
  EXPECT_EQ(split.front(), "{\"n\":2}");
  EXPECT_EQ(split[split.size() - 3], "{\"cut");
  EXPECT_EQ(split[split.size() - 2], "{\"n\":\"new\"}");
}

TEST(RunLog, AFileThatCannotBeWrittenSaysWhy) {
  QTemporaryDir dir;
  const auto error = AppendLine(dir.filePath("missing/log.jsonl").toStdString(), "{}\n");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("missing/log.jsonl"), std::string::npos) << *error;
}

}  // namespace
}  // namespace kavori::frontend
