// Enumeration helpers: a case from a number, and all cases in declaration order.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>

#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "proto/sharing.pb.h"
#include "proto/sharing_enums.pb.h"

namespace velmo::proto {
namespace {

namespace nc = location::nearby::connections;
namespace gcm = securegcm;
namespace ns = nearby::sharing::service::proto;
namespace nps = location::nearby::proto::sharing;
using UpgradePathInfo = nc::BandwidthUpgradeNegotiationFrame::UpgradePathInfo;

template <class E>
std::vector<int> numbersOf() {
    std::vector<int> numbers;
    for (E value : allCases<E>()) numbers.push_back(static_cast<int>(value));
    return numbers;
}

std::vector<int> range(int from, int to) {
    std::vector<int> numbers;
    for (int n = from; n <= to; ++n) numbers.push_back(n);
    return numbers;
}

TEST(EnumHelpers, FromNumber) {
    EXPECT_EQ(enumFromNumber<nc::OsInfo::OsType>(100), nc::OsInfo::LINUX);
    EXPECT_EQ(enumFromNumber<nc::OsInfo::OsType>(4), nc::OsInfo::APPLE);
    EXPECT_FALSE(enumFromNumber<nc::OsInfo::OsType>(5));
    EXPECT_FALSE(enumFromNumber<nc::OsInfo::OsType>(101));

    EXPECT_EQ(enumFromNumber<nc::PayloadTransferFrame::PayloadChunk::Flags>(1),
              nc::PayloadTransferFrame::PayloadChunk::LAST_CHUNK);
    EXPECT_FALSE(enumFromNumber<nc::PayloadTransferFrame::PayloadChunk::Flags>(0));
    EXPECT_FALSE(enumFromNumber<nc::PayloadTransferFrame::PayloadChunk::Flags>(3));

    EXPECT_FALSE(enumFromNumber<UpgradePathInfo::Medium>(10));
    EXPECT_EQ(enumFromNumber<UpgradePathInfo::Medium>(11), UpgradePathInfo::USB);
    EXPECT_FALSE(enumFromNumber<nc::BandwidthUpgradeRetryFrame::Medium>(1));
    EXPECT_EQ(enumFromNumber<nc::ConnectionRequestFrame::Medium>(10), nc::ConnectionRequestFrame::BLE_L2CAP);

    EXPECT_FALSE(enumFromNumber<gcm::Ukey2Alert::AlertType>(0));
    EXPECT_FALSE(enumFromNumber<gcm::Curve>(0));
    EXPECT_FALSE(enumFromNumber<gcm::Type>(9));
    EXPECT_EQ(enumFromNumber<gcm::Type>(101), gcm::LOGIN_NOTIFICATION);
    EXPECT_EQ(enumFromNumber<gcm::AppleDeviceDiagonalMils>(7900), gcm::APPLE_PAD);

    for (int n = 3; n <= 8; ++n) EXPECT_FALSE(enumFromNumber<ns::IntroductionFrame::SharingUseCase>(n)) << n;
    EXPECT_EQ(enumFromNumber<ns::IntroductionFrame::SharingUseCase>(9), ns::IntroductionFrame::TAP_TO_SHARE);
    EXPECT_EQ(enumFromNumber<nps::OSType>(5), nps::MACOS);
    EXPECT_FALSE(enumFromNumber<nps::OSType>(6));
    EXPECT_EQ(enumFromNumber<nps::EventType>(54), nps::DISPLAY_PHONE_CONSENT);
    EXPECT_FALSE(enumFromNumber<nps::EventType>(85));
    EXPECT_EQ(enumFromNumber<nps::ConnectionLayerStatus>(18), nps::CONNECTION_LAYER_STATUS_TIMEOUT);
    EXPECT_FALSE(enumFromNumber<nps::ConnectionLayerStatus>(19));
    EXPECT_EQ(enumFromNumber<nps::CloudRegisterReceiverResult>(16), nps::CLOUD_REGISTER_RECEIVER_RESULT_DATA_LOSS);
    EXPECT_FALSE(enumFromNumber<nps::AppCrashReason>(1));
}

TEST(EnumHelpers, AllCasesInDeclarationOrder) {
    EXPECT_EQ(numbersOf<nc::OsInfo::OsType>(), (std::vector<int>{0, 1, 2, 3, 4, 100}));
    EXPECT_EQ(numbersOf<nc::PayloadTransferFrame::PayloadChunk::Flags>(), std::vector<int>{1});
    EXPECT_EQ(numbersOf<gcm::Ukey2Alert::AlertType>(),
              (std::vector<int>{1, 2, 3, 4, 100, 101, 102, 103, 104, 200}));
    EXPECT_EQ(numbersOf<gcm::AppleDeviceDiagonalMils>(), (std::vector<int>{4000, 7900}));
    EXPECT_EQ(numbersOf<nps::AppCrashReason>(), std::vector<int>{0});

    std::vector<int> events = range(0, 38);
    events.push_back(54);
    for (int n : range(39, 53)) events.push_back(n);
    for (int n : range(55, 84)) events.push_back(n);
    EXPECT_EQ(numbersOf<nps::EventType>(), events);
    EXPECT_EQ(allCases<nps::EventType>()[39], nps::DISPLAY_PHONE_CONSENT);

    std::vector<int> server = range(0, 7);
    server.insert(server.end(), {9, 8, 10});
    EXPECT_EQ(numbersOf<nps::ServerResponseState>(), server);
}

TEST(EnumHelpers, NoEnumerationDeclaresMinusOne) {
    int enums = 0;
    std::function<void(const google::protobuf::Descriptor*)> visit;
    auto check = [&](const google::protobuf::EnumDescriptor* type) {
        ++enums;
        EXPECT_FALSE(detail::isDeclared(type, -1)) << type->full_name();
    };
    visit = [&](const google::protobuf::Descriptor* message) {
        for (int i = 0; i < message->enum_type_count(); ++i) check(message->enum_type(i));
        for (int i = 0; i < message->nested_type_count(); ++i) visit(message->nested_type(i));
    };
    for (const auto* file : {nc::OfflineFrame::descriptor()->file(), gcm::Ukey2Message::descriptor()->file(),
                             securemessage::SecureMessage::descriptor()->file(), ns::Frame::descriptor()->file(),
                             nps::OSType_descriptor()->file()}) {
        for (int i = 0; i < file->enum_type_count(); ++i) check(file->enum_type(i));
        for (int i = 0; i < file->message_type_count(); ++i) visit(file->message_type(i));
    }
    EXPECT_EQ(enums, 97);
}

}  // namespace
}  // namespace velmo::proto
