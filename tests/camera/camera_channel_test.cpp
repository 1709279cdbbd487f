// The camera channel against the stand-in driver on the simulated machine,
// through Wine's real COM runtime and DirectShow device enumerator.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <string.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/camera_channel.h"
#include "camera/camera_request.h"
#include "cannot_run.h"
#include "driver_log.h"
#include "simkit.h"

namespace {

const char CameraName[] = "ZN Test Camera";

// The system's property bag only ever answers FriendlyName with a string, so
// a bag answering with another type comes through a device list that stands
// in for the system device enumerator on the calling thread.
class OddNameBag : public IPropertyBag
{
public:
    explicit OddNameBag(VARTYPE answer) : answer(answer) {}

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override
    {
        *out = iid == IID_IUnknown || iid == IID_IPropertyBag ? this : NULL;
        if (!*out)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    // A number looks like a wild pointer, an object must be released again.
    STDMETHODIMP Read(LPCOLESTR, VARIANT *value, IErrorLog *) override
    {
        V_VT(value) = answer;
        if (answer == VT_UNKNOWN) {
            V_UNKNOWN(value) = this;
            AddRef();
        } else {
            V_I4(value) = 0x41;
        }
        return S_OK;
    }
    STDMETHODIMP Write(LPCOLESTR, VARIANT *) override { return E_NOTIMPL; }

    LONG refs = 1;
    VARTYPE answer;
};

class DeviceList : public IClassFactory, public ICreateDevEnum, public IEnumMoniker
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_IClassFactory)
            *out = static_cast<IClassFactory *>(this);
        else if (iid == IID_ICreateDevEnum)
            *out = static_cast<ICreateDevEnum *>(this);
        else if (iid == IID_IEnumMoniker)
            *out = static_cast<IEnumMoniker *>(this);
        else
            return *out = NULL, E_NOINTERFACE;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out) override
    {
        return outer ? CLASS_E_NOAGGREGATION : QueryInterface(iid, out);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
    STDMETHODIMP CreateClassEnumerator(REFCLSID, IEnumMoniker **out, DWORD) override
    {
        *out = this;
        return S_OK;
    }
    STDMETHODIMP Next(ULONG, IMoniker **out, ULONG *fetched) override
    {
        *fetched = next < monikers.size() ? 1 : 0;
        if (!*fetched)
            return S_FALSE;
        *out = monikers[next++];
        (*out)->AddRef();
        return S_OK;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return next = 0, S_OK; }
    STDMETHODIMP Clone(IEnumMoniker **) override { return E_NOTIMPL; }

    std::vector<IMoniker *> monikers;
    size_t next = 0;
};

// The system's moniker of the first video input device, taken before the
// device list stands in for the enumerator.
IMoniker *FirstVideoInputMoniker()
{
    ICreateDevEnum *devices = NULL;
    IEnumMoniker *monikers = NULL;
    IMoniker *moniker = NULL;
    ULONG fetched = 0;
    if (SUCCEEDED(CoCreateInstance(CLSID_SystemDeviceEnum, NULL, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                   (void **)&devices))) {
        if (devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0) == S_OK) {
            monikers->Next(1, &moniker, &fetched);
            monikers->Release();
        }
        devices->Release();
    }
    return fetched == 1 ? moniker : NULL;
}

class CameraChannel : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SimRemoveAllCameras());
        ASSERT_EQ(1, SimClearDriverLog());
        SetWanted(CameraName);
    }

    void SetWanted(const char *name)
    {
        memset(&context, 0, sizeof context);
        lstrcpynA(context.friendlyName, name, TextBufferSize);
    }

    void AddCamera(const char *name, unsigned flags = 0)
    {
        ASSERT_EQ(1, SimAddCamera(name, flags)) << "adding \"" << name << "\"";
    }

    // Which added camera each request reached, in order.
    static std::vector<int> Receivers()
    {
        std::vector<int> devices;
        for (const SimDriverRequest &request : DriverLog())
            devices.push_back(request.deviceIndex);
        return devices;
    }

    void ExpectNothingHeld()
    {
        EXPECT_EQ(nullptr, context.filter);
        EXPECT_EQ(nullptr, context.propertySet);
        EXPECT_EQ(0, SimLiveFilterObjects()) << "stand-in filters still alive";
    }

    // A failed open keeps the COM initialisation it made; the context owns it.
    void ExpectComKeptAndClose()
    {
        EXPECT_EQ(1u, context.comInitialised);
        CloseCameraChannel(&context);
        EXPECT_EQ(0u, context.comInitialised);
    }

    MonitorContext context;
};

TEST_F(CameraChannel, SendReachesDriverAsCodePlusTwoInOneBuffer)
{
    AddCamera(CameraName);
    for (int code = CameraEventSuspend; code <= CameraEventBatteryRecovered; code++) {
        EXPECT_EQ(1, SendCameraEvent(&context, (CameraEvent)code)) << "code " << code;
        ExpectNothingHeld();
        EXPECT_EQ(0u, context.comInitialised) << "code " << code;
    }

    std::vector<SimDriverRequest> log = DriverLog();
    ASSERT_EQ(4u, log.size());
    for (int code = 0; code < 4; code++) {
        const SimDriverRequest &request = log[code];
        EXPECT_EQ(0, request.deviceIndex);
        // The stand-in accepts only the design's property set and ID.
        EXPECT_GE(request.result, 0) << "code " << code;
        EXPECT_EQ(36u, request.instanceSize);
        EXPECT_EQ(36u, request.dataSize);
        EXPECT_EQ(1, request.sameBuffer) << "instance and data are different buffers";
        // The request's other words are the native layout test's.
        EXPECT_EQ((uint32_t)code + 2, request.words[7]);
    }
}

TEST_F(CameraChannel, RejectingDriverStillReleasesFilter)
{
    AddCamera(CameraName, SimCameraRejectSet);
    EXPECT_EQ(0, SendCameraEvent(&context, CameraEventSessionEnd));

    std::vector<SimDriverRequest> log = DriverLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_LT(log[0].result, 0);
    EXPECT_EQ(3u, log[0].words[7]);
    ExpectNothingHeld();
    EXPECT_EQ(0u, context.comInitialised) << "the close step did not run";
}

// Which camera a send reaches, from the cameras added (in order) and the name
// wanted; no receivers means the send fails and keeps its COM initialisation.
struct Selection
{
    const char *behaviour;
    std::vector<std::pair<std::string, unsigned>> cameras;  // name, SimCameraFlags
    std::string wanted;
    std::vector<int> receivers;
};

void PrintTo(const Selection &selection, std::ostream *out) { *out << selection.behaviour; }

class CameraSelection : public CameraChannel, public ::testing::WithParamInterface<Selection>
{
};

TEST_P(CameraSelection, EventReachesOnlyTheFirstCameraOfTheWantedName)
{
    const Selection &selection = GetParam();
    for (const auto &camera : selection.cameras)
        AddCamera(camera.first.c_str(), camera.second);
    SetWanted(selection.wanted.c_str());
    EXPECT_EQ(selection.receivers.empty() ? 0 : 1, SendCameraEvent(&context, CameraEventSuspend));
    EXPECT_EQ(selection.receivers, Receivers());
    ExpectNothingHeld();
    if (selection.receivers.empty())
        ExpectComKeptAndClose();
    else
        EXPECT_EQ(0u, context.comInitialised);
}

const unsigned Unnamed = SimCameraNoFriendlyName;
const Selection Selections[] = {
    {"NoVideoDeviceSendsNothing", {}, CameraName, {}},
    {"OnlyFirstEqualNameGetsTheEventCaseFolded",
     {{"Other Camera", 0}, {"zn TEST camera", 0}, {CameraName, 0}, {"ZN Test Camera 2", 0}}, CameraName, {1}},
    {"MissingNameSendsNothing", {{"Other Camera", 0}, {"ZN Test Camer", 0}}, CameraName, {}},
    {"FilterWithoutPropertySetIsReleased", {{CameraName, SimCameraNoPropertySet}}, CameraName, {}},
    {"NameFillingTheBufferStillMatches", {{std::string(259, 'n'), 0}}, std::string(259, 'n'), {0}},
    {"WalkGoesOnPastTooLongName", {{std::string(300, 'z'), 0}, {CameraName, 0}}, CameraName, {1}},
    {"UnreadableNameIsSkippedForNamedCamera", {{"Unnamed", Unnamed}, {CameraName, 0}}, CameraName, {1}},
    // An unreadable name leaves the buffer as it was: empty before any name
    // was read, the earlier device's name after one.
    {"UnreadableFirstNameComparesAsEmpty", {{"Unnamed", Unnamed}}, "", {0}},
    {"UnreadableNameComparesAsTheNameReadBefore", {{"Other Camera", 0}, {"Unnamed", Unnamed}}, "", {}},
    {"EmptyNameMatchesOnlyAnEmptyName", {{"Other Camera", 0}, {"", 0}}, "", {1}},
};
INSTANTIATE_TEST_SUITE_P(Names, CameraSelection, ::testing::ValuesIn(Selections),
                         [](const ::testing::TestParamInfo<Selection> &info) {
                             return std::string(info.param.behaviour);
                         });

TEST_F(CameraChannel, NameTooLongForTheBufferNeverMatches)
{
    for (size_t length : {260u, 261u, 400u}) {
        SCOPED_TRACE("name of " + std::to_string(length) + " bytes");
        ASSERT_EQ(1, SimRemoveAllCameras());
        std::string name(length, 'n');
        std::string cutOff = name.substr(0, 259);
        AddCamera(name.c_str());
        // The most a cut-off copy could look like, and the empty name.
        for (const char *wanted : {cutOff.c_str(), ""}) {
            SetWanted(wanted);
            EXPECT_EQ(0, SendCameraEvent(&context, CameraEventSuspend));
            ExpectNothingHeld();
            ExpectComKeptAndClose();
        }
        EXPECT_TRUE(DriverLog().empty());
    }
}

// Names are compared as ANSI bytes, case folded for ASCII letters only.
TEST_F(CameraChannel, NonAsciiNameMatchesItsAnsiBytes)
{
    const wchar_t *device = L"Cam\u00e9ra \u00dcbersicht";
    char ansi[TextBufferSize];
    BOOL lost = FALSE;
    ASSERT_NE(0, WideCharToMultiByte(CP_ACP, 0, device, -1, ansi, sizeof ansi, NULL, &lost));
    if (lost)
        CANNOT_RUN_HERE() << "the ANSI code page (" << GetACP() << ") cannot hold the test name";
    ASSERT_EQ(1, SimAddCameraW(device, 0));

    SetWanted(ansi);
    EXPECT_EQ(1, SendCameraEvent(&context, CameraEventSuspend));
    EXPECT_EQ(std::vector<int>({0}), Receivers());

    // Upper-cased only where the letters are ASCII: still the same device.
    ASSERT_NE(0, WideCharToMultiByte(CP_ACP, 0, L"CAM\u00e9RA \u00dcBERSICHT", -1, ansi, sizeof ansi, NULL, NULL));
    SetWanted(ansi);
    EXPECT_EQ(1, SendCameraEvent(&context, CameraEventSuspend));

    // Non-ASCII letters are not folded.
    ASSERT_NE(0, WideCharToMultiByte(CP_ACP, 0, L"Cam\u00c9ra \u00fcbersicht", -1, ansi, sizeof ansi, NULL, NULL));
    SetWanted(ansi);
    EXPECT_EQ(0, SendCameraEvent(&context, CameraEventSuspend));
    ExpectComKeptAndClose();
    EXPECT_EQ(std::vector<int>({0, 0}), Receivers());
}

// A name of another type counts as unreadable and is freed all the same.
TEST_F(CameraChannel, NameOfAnotherTypeIsFreedNotReadAsText)
{
    AddCamera(CameraName);
    std::thread([this] {
        ASSERT_EQ(S_OK, CoInitialize(NULL));
        OddNameBag number(VT_I4), object(VT_UNKNOWN);
        DeviceList list;
        IMoniker *camera = FirstVideoInputMoniker();
        IMoniker *numbered = NULL, *objected = NULL;
        DWORD cookie = 0;
        EXPECT_NE(nullptr, camera);
        EXPECT_EQ(S_OK, CreatePointerMoniker(&number, &numbered));
        EXPECT_EQ(S_OK, CreatePointerMoniker(&object, &objected));
        list.monikers = {numbered, objected, camera};
        EXPECT_EQ(S_OK, CoRegisterClassObject(CLSID_SystemDeviceEnum, static_cast<IClassFactory *>(&list),
                                              CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
        if (camera && numbered && objected && cookie) {
            EXPECT_EQ(1, SendCameraEvent(&context, CameraEventSuspend));
            EXPECT_EQ(3u, list.next) << "the walk did not reach the camera";
        }
        CoRevokeClassObject(cookie);
        for (IMoniker *moniker : list.monikers)
            if (moniker)
                moniker->Release();
        EXPECT_EQ(1, object.refs) << "the value read was not freed";
        EXPECT_EQ(1, number.refs);
        CoUninitialize();
    }).join();
    EXPECT_EQ(std::vector<int>({0}), Receivers());
    ExpectNothingHeld();
}

// The flag records only an initialisation this channel made; a failed open's
// initialisation stays until a later successful send closes the channel.
TEST_F(CameraChannel, FailedOpenKeepsComUntilNextSuccessfulSend)
{
    std::thread([this] {
        EXPECT_EQ(0, SendCameraEvent(&context, CameraEventSuspend));
        EXPECT_EQ(1u, context.comInitialised);

        AddCamera(CameraName);
        EXPECT_EQ(1, SendCameraEvent(&context, CameraEventSuspend));
        EXPECT_EQ(0u, context.comInitialised);
        ExpectNothingHeld();

        // The first open's initialisation is still in force on this thread.
        HRESULT hr = CoInitialize(NULL);
        EXPECT_EQ(S_FALSE, hr) << "got 0x" << std::hex << hr;
        CoUninitialize();
        CoUninitialize();
    }).join();
    EXPECT_EQ(std::vector<int>({0}), Receivers());
}

// CoInitialize on a thread that initialised COM itself answers S_FALSE and
// counts one more initialisation all the same; the channel leaves that one in
// force rather than undo the thread's own.
TEST_F(CameraChannel, SendOnThreadThatInitialisedComNeverUninitialisesIt)
{
    AddCamera(CameraName);
    std::thread([this] {
        ASSERT_EQ(S_OK, CoInitialize(NULL));
        EXPECT_EQ(1, SendCameraEvent(&context, CameraEventSuspend));
        EXPECT_EQ(0u, context.comInitialised);
        CoUninitialize();
        HRESULT hr = CoInitialize(NULL);
        EXPECT_EQ(S_FALSE, hr) << "got 0x" << std::hex << hr << ": the send uninitialised the thread's COM";
        CoUninitialize();
        CoUninitialize();
    }).join();
    EXPECT_EQ(std::vector<int>({0}), Receivers());
}

TEST_F(CameraChannel, ThreadInMultithreadedApartmentStillSends)
{
    AddCamera(CameraName);
    std::thread([this] {
        HRESULT hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
        ASSERT_EQ(S_OK, hr) << "got 0x" << std::hex << hr;
        EXPECT_EQ(1, SendCameraEvent(&context, CameraEventBatteryRecovered));
        EXPECT_EQ(0u, context.comInitialised);
        ExpectNothingHeld();
        // Still in the multithreaded apartment: the channel left it alone.
        hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
        EXPECT_EQ(S_FALSE, hr) << "got 0x" << std::hex << hr;
        CoUninitialize();
        CoUninitialize();
    }).join();

    std::vector<SimDriverRequest> log = DriverLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(5u, log[0].words[7]);
}

}  // namespace
