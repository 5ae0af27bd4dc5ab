// Two cards' pages on two threads at once, as Device Manager may run the
// property sheets of two devices: each thread has its own sheet, page
// window, modal Change port dialog and scripted user, and the pages share
// nothing but the DLL.
#include "propui_test.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace propui_test {
namespace {

using ::testing::ElementsAre;

constexpr char kOtherInstance[] = "PCI\\VEN_1B2C&DEV_0202&SUBSYS_00021B2C&REV_01\\4&2B7E01&0&0818";
constexpr char kOtherLocation[] = "PCI bus 3, device 1, function 0";
constexpr char kOtherKey[] = "030100";

// Lets `parties` threads wait for each other; false after a time-out, so
// that a stand-in that serialises the threads fails instead of hanging.
class Meeting {
 public:
  explicit Meeting(int parties) : parties_(parties) {}
  bool Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (++arrived_ == parties_) {
      cv_.notify_all();
      return true;
    }
    return cv_.wait_for(lock, std::chrono::seconds(20), [this] { return arrived_ >= parties_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int parties_;
  int arrived_ = 0;
};

struct CardRun {
  CardRun(const char* instance, int line, int radio) : instance(instance), line(line), radio(radio) {}
  const char* instance;
  int line;   // the line to double-click
  int radio;  // the mode to pick
  std::vector<std::string> lines;
  INT_PTR sheetResult = -2;
  bool metInDialog = false;
};

void RunCard(CardRun* run, Meeting* pagesOpen, Meeting* dialogsOpen) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof(device);
  EXPECT_TRUE(SetupDiOpenDeviceInfoA(set, run->instance, nullptr, 0, &device));
  SP_PROPSHEETPAGE_REQUEST request = {};
  request.cbSize = sizeof(request);
  request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
  request.DeviceInfoSet = set;
  request.DeviceInfoData = &device;
  {
    host::PropertySheet sheet;
    EXPECT_TRUE(EnumPropPages(&request, sheet.AddPageCallback(), sheet.AddPageParam()));
    EXPECT_TRUE(sheet.Show());
    EXPECT_TRUE(pagesOpen->Arrive());
    // Both Change port dialogs run their modal loops at the same time.
    host::User()
        .DoubleClickListItem(IDC_PORT_LIST, run->line)
        .Click(run->radio)
        .Inspect([&](HWND) { run->metInDialog = dialogsOpen->Arrive(); })
        .Click(IDOK);
    sheet.Run();
    EXPECT_EQ(host::User().Pending(), 0u);
    run->lines = host::ListItems(GetDlgItem(sheet.PageWindow(0), IDC_PORT_LIST));
    EXPECT_TRUE(sheet.PressOk());
    run->sheetResult = sheet.Result();
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

class ThreadsTest : public PropUiTest {};

TEST_F(ThreadsTest, TwoCardsPagesRunOnTwoThreadsAtOnce) {
  AddCard(2);
  AddPort(0, "COM3", 1, 1);
  AddPort(1, "COM4", 1, 1);
  std::string otherKey = std::string("SYSTEM\\CurrentControlSet\\Enum\\") + kOtherInstance;
  Reg().CreateKey(otherKey + "\\Device Parameters");
  ASSERT_TRUE(Reg().SetString(otherKey, "LocationInformation", kOtherLocation));
  ASSERT_TRUE(Reg().SetDword(otherKey + "\\Device Parameters", "PORTS", 1));
  AddPort(0, "COM7", 2, 0, kOtherKey);

  Meeting pagesOpen(2), dialogsOpen(2);
  CardRun first{kCardInstance, 1, IDC_MODE_RS422};
  CardRun second{kOtherInstance, 0, IDC_MODE_RS485_FULL};
  std::thread a(RunCard, &first, &pagesOpen, &dialogsOpen);
  std::thread b(RunCard, &second, &pagesOpen, &dialogsOpen);
  a.join();
  b.join();

  EXPECT_TRUE(first.metInDialog);
  EXPECT_TRUE(second.metInDialog);
  EXPECT_THAT(first.lines, ElementsAre("port-1    COM3      RS485_HALF",
                                       "port-2    COM4      RS422"));
  EXPECT_THAT(second.lines, ElementsAre("port-1    COM7      RS485_FULL"));
  EXPECT_EQ(first.sheetResult, 1);
  EXPECT_EQ(second.sheetResult, 1);
  // Each page saved its own card's choice, and only that.
  auto mode = [](const std::string& key) {
    std::optional<host::RegValue> value = Reg().GetValue(key, SERHUB_PORTMODE_A);
    return value ? value->Dword() : 0xDEADBEEF;
  };
  EXPECT_EQ(mode(PortKey(0)), 1u);
  EXPECT_EQ(mode(PortKey(1)), 3u);
  EXPECT_EQ(mode(PortKey(0, kOtherKey)), 2u);
}

}  // namespace
}  // namespace propui_test
