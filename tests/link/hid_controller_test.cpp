// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hid_test_support.h"
#include "link/hid_controller.h"
#include "link/hid_fake_backend.h"

namespace dmm {
namespace {

FakeHidDevice Device(const std::string& path, const char16_t* product = u"USB to Serial") {
    FakeHidDevice d;
    d.path = path;
    d.vendorId = 0x1A2B;
    d.productId = 0x3C4D;
    d.versionNumber = 0x0100;
    if (product)
        d.product = product;
    return d;
}

class HidController : public ::testing::Test {
  protected:
    // Claimed devices are the test's to give back, once the controller is gone.
    void TearDown() override {
        std::vector<TJvHidDevice*> claimed;
        if (controller) {
            for (TJvHidDevice* d : controller->DeviceList()) {
                if (d->Claimed())
                    claimed.push_back(d);
            }
        }
        controller.reset();
        for (TJvHidDevice* d : claimed)
            delete d;
    }

    void Make() { controller = std::make_unique<TJvHidDeviceController>(nullptr, backend); }
    TJvHidDevice* At(size_t i) { return controller->DeviceList().at(i); }
    TJvHidDevice* Claim(int32_t idx) {
        TJvHidDevice* d = nullptr;
        EXPECT_TRUE(controller->ClaimByIndex(d, idx));
        return d;
    }
    void ExpectCounts(int32_t available, int32_t claimed, int32_t unplugged) {
        EXPECT_EQ(controller->AvailableCount(), available);
        EXPECT_EQ(controller->ClaimedCount(), claimed);
        EXPECT_EQ(controller->UnpluggedCount(), unplugged);
    }

  public:
    // Handlers that write what happened to the log.
    void Arrival(TJvHidDevice* d) {
        log.push_back("arrival " + d->InterfacePath() + (d->BeingOffered() ? " offered" : ""));
    }
    void Removal(TJvHidDevice* d) {
        log.push_back("removal " + d->InterfacePath() + (d->BeingOffered() ? " offered" : "") +
                      (d->Present() ? " present" : ""));
    }
    void Change(QObject* sender) {
        log.push_back(sender == controller.get() ? "change" : "change from elsewhere");
    }
    void Change2(QObject*) { log.push_back("change 2"); }
    void Unplug(TJvHidDevice* d) { log.push_back("unplug " + d->InterfacePath()); }
    void Data(TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) {}
    void Data2(TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) {}
    void Error(TJvHidDevice*, uint32_t) {}

    std::shared_ptr<FakeHidBackend> backend = std::make_shared<FakeHidBackend>();
    std::unique_ptr<TJvHidDeviceController> controller;
    std::vector<std::string> log;
};

TEST_F(HidController, ListsTheDevicesThatCanBeOpenedAndIdentified) {
    backend->plugQuietly(Device("/dev/hidraw0"));
    FakeHidDevice unopenable = Device("/dev/hidraw1");
    unopenable.openable = false;
    backend->plugQuietly(unopenable);
    FakeHidDevice queryOnly = Device("/dev/hidraw2", u"Keyboard");
    queryOnly.readWriteAccess = false;
    queryOnly.vendorId = 0x0001;
    backend->plugQuietly(queryOnly);
    FakeHidDevice anonymous = Device("/dev/hidraw3");
    anonymous.identifiable = false;
    backend->plugQuietly(anonymous);
    Make();

    ASSERT_EQ(controller->DeviceList().size(), 2u);
    ExpectCounts(2, 0, 0);
    EXPECT_EQ(At(0)->InterfacePath(), "/dev/hidraw0");
    EXPECT_EQ(At(0)->VendorID(), 0x1A2B);
    EXPECT_EQ(At(0)->ProductID(), 0x3C4D);
    EXPECT_EQ(At(0)->VersionNumber(), 0x0100);
    EXPECT_TRUE(At(0)->ReadWriteAccess());
    EXPECT_TRUE(At(0)->Present());
    EXPECT_FALSE(At(0)->Claimed());
    EXPECT_EQ(At(0)->Controller(), controller.get());
    EXPECT_EQ(At(1)->InterfacePath(), "/dev/hidraw2");
    EXPECT_EQ(At(1)->VendorID(), 0x0001);
    EXPECT_FALSE(At(1)->ReadWriteAccess());
    // Identifying a device leaves no handle open.
    EXPECT_EQ(backend->openConnections(), 0);

    EXPECT_EQ(controller->Version(), "1.0.22");
    controller->SetVersion("2.0");
    EXPECT_EQ(controller->Version(), "1.0.22");
    EXPECT_EQ(controller->DevThreadSleepTime(), 100);
    EXPECT_FALSE(controller->ChangeNotified());
}

TEST_F(HidController, OnlyOneControllerAtATime) {
    Make();
    try {
        TJvHidDeviceController second(nullptr, backend);
        FAIL() << "a second controller was made";
    } catch (const EControllerError& e) {
        EXPECT_STREQ(e.what(), "Only one TJvHidDeviceController allowed per program");
    }
    // The first still works, and once it is gone another may be made, here
    // owned by a parent object.
    backend->plug(Device("/dev/hidraw0"));
    EXPECT_EQ(controller->DeviceList().size(), 1u);
    controller.reset();
    auto owner = std::make_unique<QObject>();
    auto* owned = new TJvHidDeviceController(owner.get(), backend);
    EXPECT_EQ(owned->parent(), owner.get());
    owner.reset();
    Make();
    // Without a backend there are no devices and no notifications.
    controller.reset();
    controller = std::make_unique<TJvHidDeviceController>(nullptr, nullptr);
    EXPECT_TRUE(controller->DeviceList().empty());
    controller->DeviceChange();
    EXPECT_EQ(controller->EnumerateDevices(), 0);
}

TEST_F(HidController, ClaimByIndex) {
    backend->plugQuietly(Device("/dev/hidraw0"));
    backend->plugQuietly(Device("/dev/hidraw1"));
    Make();
    TJvHidDevice* d = At(0);
    EXPECT_FALSE(controller->ClaimByIndex(d, -1));
    EXPECT_EQ(d, nullptr);
    d = At(0);
    EXPECT_FALSE(controller->ClaimByIndex(d, 2));
    EXPECT_EQ(d, nullptr);
    ExpectCounts(2, 0, 0);

    ASSERT_TRUE(controller->ClaimByIndex(d, 1));
    EXPECT_EQ(d, At(1));
    EXPECT_TRUE(d->Claimed());
    ExpectCounts(1, 1, 0);
    EXPECT_FALSE(controller->ClaimByIndex(d, 1));
    EXPECT_EQ(d, nullptr);
    ExpectCounts(1, 1, 0);
    EXPECT_EQ(Claim(0), At(0));
    ExpectCounts(0, 2, 0);
}

TEST_F(HidController, FirstDeviceChangeHandlerFiresOnceEvenWithNoChange) {
    Make();
    controller->SetOnDeviceChange({this, &HidController::Change});
    EXPECT_EQ(log, std::vector<std::string>{"change"});
    EXPECT_TRUE(controller->ChangeNotified());
    // The same handler again does nothing; another one rescans but, with
    // nothing changed, does not fire.
    controller->SetOnDeviceChange({this, &HidController::Change});
    controller->SetOnDeviceChange({this, &HidController::Change2});
    backend->notifyChange();
    controller->DeviceChange();
    EXPECT_EQ(log, std::vector<std::string>{"change"});
    backend->plug(Device("/dev/hidraw0"));
    EXPECT_EQ(log, (std::vector<std::string>{"change", "change 2"}));
}

TEST_F(HidController, PlugAndUnplugEventOrders) {
    backend->plugQuietly(Device("/dev/hidraw0"));
    Make();
    controller->SetOnArrival({this, &HidController::Arrival});
    controller->SetOnRemoval({this, &HidController::Removal});
    controller->SetOnDeviceChange({this, &HidController::Change});
    controller->SetOnDeviceUnplug({this, &HidController::Unplug});
    log.clear();

    backend->notifyChange();
    EXPECT_TRUE(log.empty());

    backend->plug(Device("/dev/hidraw1"));
    EXPECT_EQ(log, (std::vector<std::string>{"arrival /dev/hidraw1 offered", "change"}));
    ASSERT_EQ(controller->DeviceList().size(), 2u);
    EXPECT_FALSE(At(1)->BeingOffered());
    ExpectCounts(2, 0, 0);

    // An unclaimed device leaves the list at once.
    log.clear();
    backend->unplug("/dev/hidraw0");
    EXPECT_EQ(log, (std::vector<std::string>{"unplug /dev/hidraw0", "removal /dev/hidraw0 offered",
                                             "change"}));
    ASSERT_EQ(controller->DeviceList().size(), 1u);
    EXPECT_EQ(At(0)->InterfacePath(), "/dev/hidraw1");
    ExpectCounts(1, 0, 0);

    // A claimed one stays until the application gives it back.
    TJvHidDevice* claimed = Claim(0);
    ExpectCounts(0, 1, 0);
    log.clear();
    backend->unplug("/dev/hidraw1");
    EXPECT_EQ(log, (std::vector<std::string>{"unplug /dev/hidraw1", "removal /dev/hidraw1 offered",
                                             "change"}));
    ASSERT_EQ(controller->DeviceList().size(), 1u);
    EXPECT_FALSE(claimed->Present());
    EXPECT_FALSE(claimed->UnplugHandler());
    ExpectCounts(0, 0, 1);
    delete claimed;
    EXPECT_TRUE(controller->DeviceList().empty());
    ExpectCounts(0, 0, 0);

    // Unplugged and plugged again on the same node between two notifications:
    // the same identity, so nothing changed.
    backend->plug(Device("/dev/hidraw2"));
    log.clear();
    backend->unplugQuietly("/dev/hidraw2");
    backend->plugQuietly(Device("/dev/hidraw2"));
    backend->notifyChange();
    EXPECT_TRUE(log.empty());
}

TEST_F(HidController, NotificationDuringAnEventScansAgainAfterwards) {
    Make();
    bool plugged = false;
    controller->SetOnArrival({this, [&](TJvHidDevice*) {
                                  if (!plugged) {
                                      plugged = true;
                                      backend->plug(Device("/dev/hidraw9"));
                                  }
                              }});
    controller->SetOnDeviceChange({this, &HidController::Change});
    log.clear();
    backend->plug(Device("/dev/hidraw0"));
    EXPECT_EQ(controller->DeviceList().size(), 2u);
    EXPECT_EQ(log, (std::vector<std::string>{"change", "change"}));
}

TEST_F(HidController, EnumerateOffersPresentDevicesInOrder) {
    for (const char* path : {"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2"})
        backend->plugQuietly(Device(path));
    Make();
    EXPECT_EQ(controller->EnumerateDevices(), 1);  // no handler: the first offer yields false

    std::vector<std::string> offers;
    int stopAt = -1;
    controller->SetOnEnumerate(
        {this, [&](TJvHidDevice* d, int32_t idx) {
             // While offered, a device can be asked for its texts.
             offers.push_back(std::to_string(idx) + " " + d->ProductText().toStdString() +
                              (d->BeingOffered() ? " offered" : ""));
             d->SendFeatureReport(reinterpret_cast<const uint8_t*>("\0x"), 2);
             return idx != stopAt;
         }});
    stopAt = 1;
    EXPECT_EQ(controller->EnumerateDevices(), 2);
    EXPECT_EQ(offers,
              (std::vector<std::string>{"0 USB to Serial offered", "1 USB to Serial offered"}));
    // An offered device that was not claimed has its handles closed again.
    EXPECT_EQ(backend->openConnections(), 0);
    EXPECT_FALSE(At(0)->BeingOffered());

    // As the window fills its list: claim every device offered.
    offers.clear();
    controller->SetOnEnumerate({this, [&](TJvHidDevice* d, int32_t idx) {
                                    TJvHidDevice* claimed = nullptr;
                                    EXPECT_TRUE(controller->ClaimByIndex(claimed, idx));
                                    EXPECT_EQ(claimed, d);
                                    d->SendFeatureReport(reinterpret_cast<const uint8_t*>("\0x"),
                                                         2);
                                    return true;
                                }});
    EXPECT_EQ(controller->EnumerateDevices(), 3);
    ExpectCounts(0, 3, 0);
    EXPECT_EQ(backend->openConnections(), 3);  // a claimed device keeps its handle

    // Unplugged devices are not offered.
    backend->unplug("/dev/hidraw1");
    EXPECT_EQ(backend->openConnections(), 2);
    controller->SetOnEnumerate({this, [&](TJvHidDevice* d, int32_t idx) {
                                    offers.push_back(std::to_string(idx) + " " +
                                                     d->InterfacePath());
                                    return true;
                                }});
    EXPECT_EQ(controller->EnumerateDevices(), 2);
    EXPECT_EQ(offers, (std::vector<std::string>{"0 /dev/hidraw0", "2 /dev/hidraw2"}));
}

TEST_F(HidController, ProductText) {
    backend->plugQuietly(Device("/dev/hidraw0"));
    backend->plugQuietly(Device("/dev/hidraw1", nullptr));
    Make();
    // Not claimed and not offered: the device is not asked.
    EXPECT_EQ(At(0)->ProductText(), "");
    EXPECT_EQ(backend->productQueries("/dev/hidraw0"), 0);

    TJvHidDevice* cable = Claim(0);
    EXPECT_EQ(cable->ProductText(), "USB to Serial");
    EXPECT_EQ(cable->ProductText(), "USB to Serial");
    EXPECT_EQ(backend->productQueries("/dev/hidraw0"), 1);  // cached

    // No product string: empty, and asked again on each request.
    TJvHidDevice* bare = Claim(1);
    EXPECT_EQ(bare->ProductText(), "");
    EXPECT_EQ(bare->ProductText(), "");
    EXPECT_EQ(backend->productQueries("/dev/hidraw1"), 2);
    EXPECT_EQ(backend->openConnections(), 0);

    // The text goes up to the first NUL, and a 254-character buffer holds it.
    FakeHidDevice odd = Device("/dev/hidraw2");
    odd.product = std::u16string(u"Meter\0junk", 10);
    backend->plug(odd);
    FakeHidDevice longName = Device("/dev/hidraw3");
    longName.product = std::u16string(300, u'x');
    backend->plug(longName);
    EXPECT_EQ(Claim(2)->ProductText(), "Meter");
    EXPECT_EQ(Claim(3)->ProductText(), QString(254, 'x'));
}

TEST_F(HidController, SerialTextFollowsTheLanguageListRule) {
    struct Case {
        const char* path;
        std::optional<std::u16string> serial;
        std::optional<std::vector<uint16_t>> languages;
        QString expected;
    };
    const Case cases[] = {
        {"/dev/hidraw0", u"A1B2", std::vector<uint16_t>{0x0409}, "A1B2"},
        {"/dev/hidraw1", u"\u0409", std::vector<uint16_t>{0x0409}, ""},  // repeats the list
        {"/dev/hidraw2", u"\u0409\u0407X", std::vector<uint16_t>{0x0409, 0x0407}, ""},
        {"/dev/hidraw3", u"\u0409\u0408", std::vector<uint16_t>{0x0409, 0x0407}, "\u0409\u0408"},
        {"/dev/hidraw4", u"A1B2", std::nullopt, ""},             // list unreadable
        {"/dev/hidraw5", u"A1B2", std::vector<uint16_t>{}, ""},  // empty list
        {"/dev/hidraw6", std::nullopt, std::vector<uint16_t>{0x0409}, ""},
    };
    for (const Case& c : cases) {
        FakeHidDevice d = Device(c.path);
        d.serial = c.serial;
        d.languages = c.languages;
        backend->plugQuietly(d);
    }
    Make();
    for (size_t i = 0; i < std::size(cases); ++i) {
        TJvHidDevice* d = Claim(static_cast<int32_t>(i));
        EXPECT_EQ(d->SerialText(), cases[i].expected) << cases[i].path;
        EXPECT_EQ(d->SerialText(), cases[i].expected) << cases[i].path;
    }
    EXPECT_EQ(backend->openConnections(), 0);
    // The serial buffer holds 254 characters.
    EXPECT_EQ(AcceptedSerial(std::u16string(400, u'7'), std::vector<uint16_t>{0x0409}),
              QString(254, '7'));
}

TEST_F(HidController, FeatureReportsAndReadWriteAccess) {
    backend->plugQuietly(Device("/dev/hidraw0"));
    FakeHidDevice queryOnly = Device("/dev/hidraw1");
    queryOnly.readWriteAccess = false;
    backend->plugQuietly(queryOnly);
    FakeHidDevice refusing = Device("/dev/hidraw2");
    refusing.acceptsFeatureReports = false;
    backend->plugQuietly(refusing);
    Make();
    const uint8_t setup[10] = {0x00, 0x60, 0x09, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};

    // Not reachable before it is claimed.
    EXPECT_FALSE(At(0)->SendFeatureReport(setup, sizeof setup));
    EXPECT_TRUE(backend->featureReports("/dev/hidraw0").empty());

    TJvHidDevice* cable = Claim(0);
    EXPECT_TRUE(cable->SendFeatureReport(setup, sizeof setup));
    EXPECT_TRUE(cable->SendFeatureReport(setup, 5));
    EXPECT_FALSE(cable->SendFeatureReport(nullptr, 10));
    EXPECT_FALSE(cable->SendFeatureReport(setup, 0));
    const auto sent = backend->featureReports("/dev/hidraw0");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], std::vector<uint8_t>(setup, setup + 10));
    EXPECT_EQ(sent[1], std::vector<uint8_t>(setup, setup + 5));
    EXPECT_EQ(backend->openConnections(), 1);  // the handle stays open for the next one

    TJvHidDevice* limited = Claim(1);
    EXPECT_FALSE(limited->ReadWriteAccess());
    EXPECT_FALSE(limited->SendFeatureReport(setup, sizeof setup));
    EXPECT_EQ(limited->ProductText(), "USB to Serial");  // queries work all the same
    EXPECT_FALSE(Claim(2)->SendFeatureReport(setup, sizeof setup));

    // Unplugging closes the handles, and nothing more is sent.
    backend->unplug("/dev/hidraw0");
    EXPECT_EQ(backend->openConnections(), 1);
    cable->MarkUnplugged();
    EXPECT_FALSE(cable->SendFeatureReport(setup, sizeof setup));
    backend->unplug("/dev/hidraw2");
    EXPECT_EQ(backend->openConnections(), 0);
}

TEST_F(HidController, HandlerAssignmentPassesOnToDevicesWithThePreviousOne) {
    for (const char* path : {"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2"})
        backend->plugQuietly(Device(path));
    Make();
    const TJvHidDataEvent data{this, &HidController::Data};
    const TJvHidDataEvent data2{this, &HidController::Data2};
    const TJvHidDataErrorEvent error{this, &HidController::Error};
    const TJvHidPlugEvent unplug{this, &HidController::Unplug};

    controller->SetOnDeviceData(data);
    controller->SetOnDeviceDataError(error);
    controller->SetOnDeviceUnplug(unplug);
    for (TJvHidDevice* d : controller->DeviceList()) {
        EXPECT_EQ(d->DataHandler(), data);
        EXPECT_EQ(d->DataErrorHandler(), error);
        EXPECT_EQ(d->UnplugHandler(), unplug);
    }

    // A device with a handler of its own keeps it.
    At(0)->SetDataHandler(data2);
    At(0)->SetDataErrorHandler({});
    At(0)->SetUnplugHandler({});
    controller->SetOnDeviceData(
        TJvHidDataEvent(this, [](TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) {}));
    controller->SetOnDeviceDataError({});
    controller->SetOnDeviceUnplug({});
    EXPECT_EQ(At(0)->DataHandler(), data2);
    EXPECT_EQ(At(1)->DataHandler(), controller->OnDeviceData());
    EXPECT_EQ(At(2)->DataHandler(), controller->OnDeviceData());
    EXPECT_FALSE(At(1)->DataErrorHandler());
    EXPECT_FALSE(At(2)->UnplugHandler());

    // New devices start with the data and unplug handlers, never the error one.
    controller->SetOnDeviceUnplug(unplug);
    controller->SetOnDeviceDataError(error);
    backend->plug(Device("/dev/hidraw3"));
    ASSERT_EQ(controller->DeviceList().size(), 4u);
    EXPECT_EQ(At(3)->DataHandler(), controller->OnDeviceData());
    EXPECT_EQ(At(3)->UnplugHandler(), unplug);
    EXPECT_FALSE(At(3)->DataErrorHandler());
    // Those that had the previous one (none) get it.
    EXPECT_EQ(At(0)->DataErrorHandler(), error);
    EXPECT_EQ(At(1)->DataErrorHandler(), error);
}

TEST_F(HidController, DevThreadSleepTimePassesOnToDevicesWithTheOldValue) {
    for (const char* path : {"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2"})
        backend->plugQuietly(Device(path));
    Make();
    At(0)->SetSleepTime(50);
    controller->SetDevThreadSleepTime(200);
    EXPECT_EQ(At(0)->SleepTime(), 50);
    EXPECT_EQ(At(1)->SleepTime(), 200);
    EXPECT_EQ(At(2)->SleepTime(), 200);
    // Beyond the devices' limit: the controller keeps it, the devices do not.
    controller->SetDevThreadSleepTime(20000);
    EXPECT_EQ(controller->DevThreadSleepTime(), 20000);
    EXPECT_EQ(At(1)->SleepTime(), 200);
    controller->SetDevThreadSleepTime(300);
    EXPECT_EQ(At(1)->SleepTime(), 200);
    // New devices start at 100 whatever the controller says.
    backend->plug(Device("/dev/hidraw3"));
    EXPECT_EQ(At(3)->SleepTime(), 100);
}

TEST_F(HidController, SleepTimeLimits) {
    backend->plugQuietly(Device("/dev/hidraw0"));
    Make();
    TJvHidDevice* d = At(0);
    EXPECT_EQ(d->SleepTime(), 100);
    d->SetSleepTime(9);
    EXPECT_EQ(d->SleepTime(), 100);
    d->SetSleepTime(10001);
    EXPECT_EQ(d->SleepTime(), 100);
    d->SetSleepTime(10);
    EXPECT_EQ(d->SleepTime(), 10);
    d->SetSleepTime(10000);
    EXPECT_EQ(d->SleepTime(), 10000);
    d->SetSleepTime(-5);
    EXPECT_EQ(d->SleepTime(), 10000);
}

TEST_F(HidController, GivingBackByDestruction) {
    for (const char* path : {"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2"})
        backend->plugQuietly(Device(path));
    Make();
    const TJvHidDataEvent data{this, &HidController::Data};
    const TJvHidPlugEvent unplug{this, &HidController::Unplug};
    TJvHidDevice* d = Claim(1);
    d->SetDataHandler(data);
    d->SetUnplugHandler(unplug);
    d->SetDataErrorHandler({this, &HidController::Error});
    d->SetSleepTime(40);
    EXPECT_EQ(d->ProductText(), "USB to Serial");
    EXPECT_TRUE(d->IsReading());
    ExpectCounts(2, 1, 0);

    // A present device: a fresh, unclaimed object takes its place.
    delete d;
    ASSERT_EQ(controller->DeviceList().size(), 3u);
    TJvHidDevice* fresh = At(1);
    EXPECT_NE(fresh, d);
    EXPECT_EQ(fresh->InterfacePath(), "/dev/hidraw1");
    EXPECT_FALSE(fresh->Claimed());
    EXPECT_FALSE(fresh->IsReading());
    EXPECT_EQ(fresh->DataHandler(), data);
    EXPECT_EQ(fresh->UnplugHandler(), unplug);
    EXPECT_FALSE(fresh->DataErrorHandler());
    EXPECT_EQ(fresh->SleepTime(), 40);
    ExpectCounts(3, 0, 0);
    EXPECT_EQ(backend->openConnections(), 0);

    // Claimed again, it reads again.
    EXPECT_EQ(Claim(1), fresh);
    EXPECT_TRUE(fresh->IsReading());

    // An unplugged one leaves the list.
    controller->SetOnDeviceChange({this, &HidController::Change});
    backend->unplug("/dev/hidraw1");
    ExpectCounts(2, 0, 1);
    delete fresh;
    ASSERT_EQ(controller->DeviceList().size(), 2u);
    EXPECT_EQ(At(1)->InterfacePath(), "/dev/hidraw2");
    ExpectCounts(2, 0, 0);
    EXPECT_EQ(backend->openConnections(), 0);

    // Pulled out without a notification yet: the replacement cannot be made,
    // so the object just leaves the list.
    TJvHidDevice* last = Claim(1);
    backend->unplugQuietly("/dev/hidraw2");
    delete last;
    ASSERT_EQ(controller->DeviceList().size(), 1u);
    ExpectCounts(1, 0, 0);
}

TEST_F(HidController, DestructionLeavesClaimedDevicesToTheApplication) {
    for (const char* path : {"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2"})
        backend->plugQuietly(Device(path));
    Make();
    controller->SetOnDeviceUnplug({this, &HidController::Unplug});
    TJvHidDevice* withOwnHandler = Claim(0);
    withOwnHandler->SetUnplugHandler(
        {withOwnHandler, [&](TJvHidDevice* d) { log.push_back("own " + d->InterfacePath()); }});
    TJvHidDevice* withControllers = Claim(1);
    controller.reset();
    // The controller's own handler is withdrawn before the devices close.
    EXPECT_EQ(log, std::vector<std::string>{"own /dev/hidraw0"});
    for (TJvHidDevice* d : {withOwnHandler, withControllers}) {
        EXPECT_FALSE(d->Present());
        EXPECT_TRUE(d->Claimed());
        EXPECT_EQ(d->Controller(), nullptr);
    }
    delete withOwnHandler;
    delete withControllers;
    EXPECT_EQ(backend->openConnections(), 0);
    // Notifications after the controller has gone reach nothing.
    backend->plug(Device("/dev/hidraw5"));
    Make();
    EXPECT_EQ(controller->DeviceList().size(), 4u);
}

TEST(HidEvents, CompareByObjectAndMethodOrByIdentity) {
    struct Target {
        void A(TJvHidDevice*) {}
        void B(TJvHidDevice*) {}
        void C(TJvHidDevice*) const {}
    } one, two;
    EXPECT_EQ(TJvHidPlugEvent(&one, &Target::A), TJvHidPlugEvent(&one, &Target::A));
    EXPECT_FALSE(TJvHidPlugEvent(&one, &Target::A) == TJvHidPlugEvent(&one, &Target::B));
    EXPECT_FALSE(TJvHidPlugEvent(&one, &Target::A) == TJvHidPlugEvent(&two, &Target::A));
    EXPECT_EQ(TJvHidPlugEvent(&two, &Target::C), TJvHidPlugEvent(&two, &Target::C));
    EXPECT_FALSE(TJvHidPlugEvent(&one, &Target::A) == TJvHidPlugEvent());
    EXPECT_EQ(TJvHidPlugEvent(), TJvHidPlugEvent(nullptr));

    int calls = 0;
    const TJvHidPlugEvent byIdentity(&one, [&](TJvHidDevice*) { ++calls; });
    EXPECT_TRUE(byIdentity);
    EXPECT_EQ(byIdentity, TJvHidPlugEvent(&one, [](TJvHidDevice*) {}));
    EXPECT_FALSE(byIdentity == TJvHidPlugEvent(&two, [](TJvHidDevice*) {}));
    EXPECT_FALSE(byIdentity == TJvHidPlugEvent(&one, &Target::A));
    byIdentity(nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(TJvHidPlugEvent(nullptr, [](TJvHidDevice*) {}));

    const TJvHidEnumerateEvent answer(&one, [](TJvHidDevice*, int32_t idx) { return idx > 2; });
    EXPECT_TRUE(answer(nullptr, 3));
    EXPECT_FALSE(answer(nullptr, 2));
}

TEST(HidErrorText, GivesTheSystemMessage) {
    EXPECT_EQ(HidErrorText(ENODEV), QString::fromLocal8Bit(std::strerror(ENODEV)));
    EXPECT_EQ(HidErrorText(EIO), QString::fromLocal8Bit(std::strerror(EIO)));
    EXPECT_NE(HidErrorText(EIO), HidErrorText(ENODEV));
    EXPECT_FALSE(HidErrorText(0xFFFFFFFF).isEmpty());
}

}  // namespace
}  // namespace dmm
