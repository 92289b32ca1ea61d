// kavori_bench_table [--check] FILE.json...: reads Google Benchmark JSON output and prints one row
// per speed target (benchmarks with the counters of bench/bench_rows.hpp): metric, value,
// reference, ratio, target; rows without a target are shown as "info". Benchmarks that failed are
// listed as misses. With --check, exits 1 when a ratio is above its target or a benchmark failed.
#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Row {
  std::string metric;
  std::string value;
  std::string reference;
  std::string ratio;
  std::string target;
  bool met = false;
  bool targeted = true;  // false: the row explains another and is not checked
};

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 10 ? "%.1f" : "%.3g", value);
  return text;
}

std::string Ratio(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ratio);
  return text;
}

// The row's label, else the benchmark's name without its run arguments.
std::string Metric(const QJsonObject& benchmark) {
  const QString label = benchmark.value("label").toString();
  if (!label.isEmpty()) return label.toStdString();
  return benchmark.value("name").toString().section('/', 0, 0).toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  bool check = false;
  std::vector<Row> rows;
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    const QString argument = QString::fromLocal8Bit(argv[i]);
    if (argument == QStringLiteral("--check")) {
      check = true;
      continue;
    }
    QFile file(argument);
    if (!file.open(QIODevice::ReadOnly)) {
      std::fprintf(stderr, "kavori_bench_table: cannot read %s\n", argv[i]);
      return 2;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject()) {
      std::fprintf(stderr, "kavori_bench_table: %s is not benchmark JSON\n", argv[i]);
      return 2;
    }
    ++files;
    for (const QJsonValue entry : document.object().value("benchmarks").toArray()) {
      const QJsonObject benchmark = entry.toObject();
      if (benchmark.value("error_occurred").toBool()) {
        rows.push_back(
            {Metric(benchmark) + ": " + benchmark.value("error_message").toString().toStdString(),
             "failed", "", "", "", false});
        continue;
      }
      if (!benchmark.contains("ratio")) continue;
      const double ratio = benchmark.value("ratio").toDouble();
      const bool targeted = benchmark.contains("target");
      const double target = benchmark.value("target").toDouble();
      rows.push_back({Metric(benchmark), Number(benchmark.value("value").toDouble()),
                      Number(benchmark.value("reference").toDouble()), Ratio(ratio),
                      targeted ? "<= " + Number(target) : "-", !targeted || ratio <= target,
                      targeted});
    }
  }
  if (files == 0) {
    std::fprintf(stderr, "usage: kavori_bench_table [--check] FILE.json...\n");
    return 2;
  }

  Row heading{"metric", "value", "reference", "ratio", "target", true};
  std::size_t width[5] = {};
  auto widen = [&](const Row& row) {
    const std::string* cells[5] = {&row.metric, &row.value, &row.reference, &row.ratio,
                                   &row.target};
    for (int c = 0; c < 5; ++c) width[c] = std::max(width[c], cells[c]->size());
  };
  widen(heading);
  for (const Row& row : rows) widen(row);
  auto print = [&](const Row& row, const char* verdict) {
    std::printf("%-*s  %*s  %*s  %*s  %-*s  %s\n", static_cast<int>(width[0]), row.metric.c_str(),
                static_cast<int>(width[1]), row.value.c_str(), static_cast<int>(width[2]),
                row.reference.c_str(), static_cast<int>(width[3]), row.ratio.c_str(),
                static_cast<int>(width[4]), row.target.c_str(), verdict);
  };
  print(heading, "");
  bool allMet = true;
  for (const Row& row : rows) {
    print(row, !row.targeted ? "info" : row.met ? "met" : "MISSED");
    allMet = allMet && row.met;
  }
  return check && !allMet ? 1 : 0;
}
