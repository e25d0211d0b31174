#include <gtest/gtest.h>

#include <QSettings>
#include <QStandardPaths>

#include "velmo/AppModelHarness.h"

namespace velmo::test {
namespace {

struct BoolCase {
    const char* stored;  // nullptr: absent
    bool expected;
};

class ReceiveSettingTest : public ::testing::TestWithParam<BoolCase> {};

TEST_P(ReceiveSettingTest, ReadsOnlyRealBooleans) {
    TempFolder temp;
    {
        QSettings raw(QString::fromStdString((temp / "Velmo.conf").string()), QSettings::IniFormat);
        if (GetParam().stored) raw.setValue("receiveFromAndroid", QString(GetParam().stored));
    }
    Settings settings(Settings::iniStore(temp / "Velmo.conf"));
    EXPECT_EQ(settings.receiveFromAndroid(), GetParam().expected) << (GetParam().stored ? GetParam().stored : "absent");
}

INSTANTIATE_TEST_SUITE_P(Values, ReceiveSettingTest,
                         ::testing::Values(BoolCase{nullptr, true}, BoolCase{"true", true}, BoolCase{"false", false},
                                           BoolCase{"False", true}, BoolCase{"0", true}, BoolCase{"no", true},
                                           BoolCase{"", true}));

struct ModeCase {
    const char* stored;
    std::optional<SharingMode> expected;
};

class ModeSettingTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeSettingTest, ReadsExactRawValues) {
    TempFolder temp;
    {
        QSettings raw(QString::fromStdString((temp / "Velmo.conf").string()), QSettings::IniFormat);
        if (GetParam().stored) raw.setValue("sharingConsentMode", QString(GetParam().stored));
    }
    Settings settings(Settings::iniStore(temp / "Velmo.conf"));
    EXPECT_EQ(settings.sharingMode(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, ModeSettingTest,
                         ::testing::Values(ModeCase{nullptr, std::nullopt}, ModeCase{"quick", SharingMode::quick},
                                           ModeCase{"askEachTime", SharingMode::askEachTime},
                                           ModeCase{"Quick", std::nullopt}, ModeCase{"askeachtime", std::nullopt},
                                           ModeCase{"ask", std::nullopt}));

TEST(AppModelSettings, DefaultsWhenNothingIsStored) {
    ensureApplication();
    TempFolder temp;
    Settings settings(Settings::iniStore(temp / "Velmo.conf"));
    EXPECT_FALSE(settings.deviceName().empty());
    EXPECT_EQ(settings.deviceName(), Settings::defaultDeviceName());
    EXPECT_EQ(settings.downloadFolder(),
              QStandardPaths::writableLocation(QStandardPaths::DownloadLocation).toStdString());
}

TEST(AppModelSettings, RelativeDownloadFolderFallsBackToDownloads) {
    ensureApplication();
    TempFolder temp;
    {
        QSettings raw(QString::fromStdString((temp / "Velmo.conf").string()), QSettings::IniFormat);
        raw.setValue("downloadFolder", "Downloads/inbox");
    }
    Settings settings(Settings::iniStore(temp / "Velmo.conf"));
    EXPECT_EQ(settings.downloadFolder(), Settings::defaultDownloadFolder());
}

TEST(AppModelSettings, ModelWritesEveryChangeBack) {
    AppModelHarness model({.sharingMode = std::nullopt});
    model->setDeviceName("Desk");
    model->setReceiveFromAndroid(false);
    model->setDownloadFolder(model.temp / "in");
    model->setSharingMode(SharingMode::askEachTime);

    Settings reread(Settings::iniStore(model.temp / "Velmo.conf"));
    EXPECT_EQ(reread.deviceName(), "Desk");
    EXPECT_FALSE(reread.receiveFromAndroid());
    EXPECT_EQ(reread.downloadFolder(), model.temp / "in");
    EXPECT_EQ(reread.sharingMode(), SharingMode::askEachTime);

    model->setReceiveFromAndroid(true);
    EXPECT_TRUE(Settings(Settings::iniStore(model.temp / "Velmo.conf")).receiveFromAndroid());
}

TEST(AppModelSettings, ModelReadsStoredValuesAtConstruction) {
    AppModelHarness model({.sharingMode = "quick"}, [](QSettings& s) { s.setValue("receiveFromAndroid", "false"); });
    EXPECT_EQ(model->sharingMode(), SharingMode::quick);
    EXPECT_FALSE(model->receiveFromAndroid());
    EXPECT_EQ(model->deviceName(), "Test computer");
    EXPECT_EQ(model->downloadFolder(), model.temp.path());
}

}  // namespace
}  // namespace velmo::test
