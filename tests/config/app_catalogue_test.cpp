// The application catalogue: loading, verification, expansion and merging.
#include "config/app_catalogue.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

using Lines = std::vector<std::string>;

// Builds a catalogue from "NAME:DEP,DEP" entries.
AppCatalogue catalogue(const Lines& specs) {
  AppCatalogue cat;
  for (const auto& spec : specs) {
    ApplicationConf app;
    size_t colon = spec.find(':');
    app.name = spec.substr(0, colon);
    if (colon != std::string::npos) {
      for (const auto& dep : Utils::split(spec.substr(colon + 1), ",")) app.depends.insert(dep);
    }
    EXPECT_TRUE(cat.addIfAbsent(app));
  }
  return cat;
}

std::string verifyError(const AppCatalogue& cat, const Utils::NameSet& run) {
  return kztest::errorOf<AppCatalogue::VerifyError>([&] { cat.verify(run); });
}

TEST(AppCatalogue, VerifyChecksInOrderAndExpandFollowsKnownDependencies) {
  EXPECT_EQ(verifyError(catalogue({"Agent"}), {"AGENT"}), "no error");
  EXPECT_EQ(verifyError(catalogue({"A", "B:X"}), {"C", "A"}),
            "cannot find application \"C\" in *.mmc files");
  // An application that is never run still needs known dependencies.
  EXPECT_EQ(verifyError(catalogue({"A", "B:X"}), {"A"}),
            "application \"B\", unknown depends \"X\"");
  EXPECT_EQ(verifyError(catalogue({"A:B", "B:A"}), {"A"}), "interdependence: A -> B -> B");
  EXPECT_EQ(verifyError(catalogue({"A:A"}), {"A"}), "interdependence: A -> A");
  EXPECT_EQ(verifyError(catalogue({"A:B", "B:C", "C:D", "D:B"}), {"A"}),
            "interdependence: B -> C -> D -> B");
  EXPECT_EQ(verifyError(catalogue({"A:B,C", "B:D", "C:D", "D"}), {"A"}), "no error");
  // A cycle out of reach of the run list is not looked for.
  EXPECT_EQ(verifyError(catalogue({"A", "B:C", "C:B"}), {"A"}), "no error");
  // Expansion follows the known dependencies.
  AppCatalogue cat = catalogue({"A:B", "B:C,Z", "C", "D"});
  Utils::NameSet out;
  cat.expand({"a"}, out);
  EXPECT_EQ(Lines(out.begin(), out.end()), (Lines{"a", "B", "C", "Z"}));
}

TEST(AppCatalogue, WideGraphsVerifyQuickly) {
  // Each layer depends on both applications of the next one: 2^40 routes.
  Lines specs;
  for (int i = 0; i < 40; ++i) {
    const std::string next = std::to_string(i + 1);
    specs.push_back("A" + std::to_string(i) + ":A" + next + ",B" + next);
    specs.push_back("B" + std::to_string(i) + ":A" + next + ",B" + next);
  }
  specs.push_back("A40");
  specs.push_back("B40:A0");
  EXPECT_EQ(verifyError(catalogue(specs), {"A0"}).rfind("interdependence: ", 0), 0u);
  specs.back() = "B40";
  EXPECT_EQ(verifyError(catalogue(specs), {"A0"}), "no error");
}

TEST(AppCatalogue, MergeReportsAndTakesOverTheNewCatalogue) {
  LogCapture log;
  AppCatalogue cat = catalogue({"X", "A", "B"});
  AppCatalogue fresh = catalogue({"C", "b:A"});
  cat.merge(fresh);
  // The result is logged set by set.
  EXPECT_EQ(log.messages("INFO"),
            (Lines{"oldApps: A", "oldApps: X", "newApps: C", "immutableApps: B"}));
  Lines apps;
  for (const auto& app : cat.apps())
    apps.push_back(app->name + std::to_string(app->depends.size()));
  EXPECT_EQ(apps, (Lines{"b1", "C0"}));
  // The new records are copies: changing the fresh catalogue changes nothing.
  fresh.find("C")->fullName = "changed";
  EXPECT_EQ(cat.find("C")->fullName, "");
}

// Which files count as .mmc files is the listing's (UtilsListDir).
TEST(AppCatalogue, LoadReadsOnlyMmcFilesAndStopsAtABrokenOne) {
  LogCapture log;
  kztest::TempDir dir;
  kztest::writeFile(dir.file("b.mmc"), "APPLICATION B\nDEPENDS A\nENDAPPLICATION\n");
  kztest::writeFile(dir.file("a.mmc"), "APPLICATION A\nENDAPPLICATION\n");
  AppCatalogue cat;
  cat.load(dir.path() + "/");
  EXPECT_EQ(cat.size(), 2u);
  EXPECT_EQ(cat.apps()[0]->name, "A");
  EXPECT_EQ(log.messages("DEBUG"),
            (Lines{"parse monitor meta config file \"" + dir.file("a.mmc") + "\"",
                   "parse monitor meta config file \"" + dir.file("b.mmc") + "\""}));

  kztest::writeFile(dir.file("c.mmc"), "APPLICATION a\nENDAPPLICATION\nAPPLICATION C\n");
  AppCatalogue again;
  EXPECT_EQ(kztest::errorOf<std::runtime_error>([&] { again.load(dir.path() + "/"); }),
            "error in *.mmc file \"" + dir.file("c.mmc") + "\"");
  EXPECT_EQ(again.size(), 3u);
  EXPECT_THROW(again.load(dir.file("none/")), std::runtime_error);
}

}  // namespace
