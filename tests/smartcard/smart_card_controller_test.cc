#include "smartcard/smart_card_controller.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/fakes/log_capture.h"
#include "tests/smartcard/smart_card_fakes.h"

namespace keystone::testing {
namespace {

// A client whose answers the test sets: a status, and a PIN or signature of any size.
class ScriptedClient : public SmartCardFactor::IClientCallbacks {
 public:
  uint32_t GetPin(const SmartCardFactor::CallbackTarget&, int32_t, std::string& pin,
                  std::stop_token) override {
    pin = std::string(size, '7');
    return status;
  }
  uint32_t SignHash(const SmartCardFactor::CallbackTarget&, const mfab::Bytes&, const std::string&,
                    mfab::Bytes& signature, std::stop_token) override {
    signature.assign(size, 0x5A);
    return status;
  }
  uint32_t status = 0;
  size_t size = 0;
};

class ThrowingOsVersion : public platform::OsVersion {
 public:
  bool AtLeastWindows8() override { throw std::runtime_error("Invalid version"); }
  std::string CurrentBuildNumber() override { throw std::runtime_error("Invalid version"); }
};

class SmartCardControllerTest : public ::testing::Test {
 protected:
  ~SmartCardControllerTest() override { capture->Uninstall(); }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  std::shared_ptr<FakeCertificates> certificates =
      std::make_shared<FakeCertificates>(CardPki::Get().rsaCard);
  std::shared_ptr<ScriptedClient> client = std::make_shared<ScriptedClient>();
  FakeOsVersion osVersion;
  SmartCardFactor::SmartCardController controller{certificates, client, osVersion};
};

TEST_F(SmartCardControllerTest, SupportsTheFactorFromVersion62On) {
  EXPECT_EQ(controller.IsSupported(), (Factors::FactorController::Support{1, 0}));
  osVersion.atLeastWindows8 = false;
  EXPECT_EQ(controller.IsSupported(), (Factors::FactorController::Support{0, 0}));
  ThrowingOsVersion unknown;
  SmartCardFactor::SmartCardController unsure(certificates, client, unknown);
  EXPECT_EQ(unsure.IsSupported(), (Factors::FactorController::Support{0, 0}));
}

// What the client answers decides; an answer past the callbacks' bounds is a broken client.
TEST_F(SmartCardControllerTest, AcceptsOnlySuccessfulAnswersWithinTheCallbacksBounds) {
  const struct {
    uint32_t status;
    size_t size;
    bool pinAccepted;
    bool signatureAccepted;
  } cases[] = {
      {0, 4, true, true},      {0, 256, true, true},    {0, 257, false, true},
      {0, 1024, false, true},  {0, 1025, false, false}, {0, 0, true, false},
      {1223, 4, false, false}, {1708, 4, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.status << "/" << c.size);
    client->status = c.status;
    client->size = c.size;
    bool pinAccepted = true;
    try {
      EXPECT_EQ(controller.Send(SmartCardFactor::PinRequest{}, {}).size(), c.size);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "did not do SmartCardGetPin on UI");
      pinAccepted = false;
    }
    EXPECT_EQ(pinAccepted, c.pinAccepted);
    bool signatureAccepted = true;
    try {
      controller.Send(SmartCardFactor::SignRequest{}, {});
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "did not do SmartCardSignHash on UI");
      signatureAccepted = false;
    }
    EXPECT_EQ(signatureAccepted, c.signatureAccepted);
  }
  EXPECT_TRUE(capture->Has("SmartCardGetPin return error 4c7"));
  EXPECT_TRUE(capture->Has("SmartCardSignHash return error 6ac"));
}

TEST_F(SmartCardControllerTest, AsksNothingWithoutCardStorage) {
  certificates->present = false;
  client->status = 0;
  client->size = 4;
  EXPECT_THROW(controller.Send(SmartCardFactor::PinRequest{}, {}),
               CertificateStore::SmartCardNotAvailableException);
}

}  // namespace
}  // namespace keystone::testing
