// Our own declarations of the part of the VST3 binary interface that a stereo audio effect and a small
// host need: basic types, result codes, interface ids, the structs that cross the interface and every
// interface's methods in vtable order. Written from the published ABI facts; the layouts are checked
// with static_asserts in vst3_abi_check.cpp.
//
// Arguments passed by reference in the published interface are declared as pointers (the same on the
// ABI), so that a null from a host can be checked.
//
// ABI rules kept here: every interface is a class with no data members, a single base and only pure
// virtual methods in slot order (no overloads, no virtual destructor, which would add slots); every
// method uses the VST3_API calling convention; structs use natural alignment (x86_64 Linux and x64
// Windows agree on every size and offset).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define VST3_API __stdcall
#define VST3_COM_COMPATIBLE 1
#else
#define VST3_API
#define VST3_COM_COMPATIBLE 0
#endif

namespace vst3 {

// ---- basic types ---------------------------------------------------------------------------------

typedef int8_t int8;
typedef uint8_t uint8;
typedef int16_t int16;
typedef uint16_t uint16;
typedef int32_t int32;
typedef uint32_t uint32;
typedef int64_t int64;
typedef uint64_t uint64;
typedef uint8_t TBool;
typedef char char8;
typedef char16_t char16;
typedef char16 TChar;
typedef char16 String128[128];
typedef const char* FIDString;
typedef const char* CString;
typedef int32_t tresult;
typedef int64_t TSize;
typedef int32_t UCoord;
typedef uint32_t ParamID;
typedef double ParamValue;
typedef double SampleRate;
typedef int64_t TSamples;
typedef float Sample32;
typedef double Sample64;
typedef uint64_t SpeakerArrangement;
typedef int32_t MediaType;
typedef int32_t BusDirection;
typedef int32_t BusType;
typedef int32_t IoMode;
typedef int32_t UnitID;
typedef int32_t ProgramListID;
typedef int16_t CtrlNumber;
typedef char TUID[16];

// ---- result codes --------------------------------------------------------------------------------

#if VST3_COM_COMPATIBLE
inline constexpr tresult kNoInterface = int32_t(0x80004002u);
inline constexpr tresult kResultOk = 0;
inline constexpr tresult kResultTrue = 0;
inline constexpr tresult kResultFalse = 1;
inline constexpr tresult kInvalidArgument = int32_t(0x80070057u);
inline constexpr tresult kNotImplemented = int32_t(0x80004001u);
inline constexpr tresult kInternalError = int32_t(0x80004005u);
inline constexpr tresult kNotInitialized = int32_t(0x8000FFFFu);
inline constexpr tresult kOutOfMemory = int32_t(0x8007000Eu);
#else
inline constexpr tresult kNoInterface = -1;
inline constexpr tresult kResultOk = 0;
inline constexpr tresult kResultTrue = 0;
inline constexpr tresult kResultFalse = 1;
inline constexpr tresult kInvalidArgument = 2;
inline constexpr tresult kNotImplemented = 3;
inline constexpr tresult kInternalError = 4;
inline constexpr tresult kNotInitialized = 5;
inline constexpr tresult kOutOfMemory = 6;
#endif

// ---- interface and class ids ---------------------------------------------------------------------

// 16 bytes of an id written as four 32-bit words. Linux stores each word most significant byte first;
// COM platforms use the GUID layout (word 1 little-endian, the two halves of word 2 each
// little-endian, words 3 and 4 as written).
struct uid {
    uint8_t b[16];
    const char* bytes() const { return reinterpret_cast<const char*>(b); }
};

constexpr uid make_uid(uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) {
    uid u{};
#if VST3_COM_COMPATIBLE
    u.b[0] = uint8_t(w1);
    u.b[1] = uint8_t(w1 >> 8);
    u.b[2] = uint8_t(w1 >> 16);
    u.b[3] = uint8_t(w1 >> 24);
    u.b[4] = uint8_t(w2 >> 16);
    u.b[5] = uint8_t(w2 >> 24);
    u.b[6] = uint8_t(w2);
    u.b[7] = uint8_t(w2 >> 8);
#else
    for (int i = 0; i < 4; ++i) {
        u.b[i] = uint8_t(w1 >> (24 - 8 * i));
        u.b[4 + i] = uint8_t(w2 >> (24 - 8 * i));
    }
#endif
    for (int i = 0; i < 4; ++i) {
        u.b[8 + i] = uint8_t(w3 >> (24 - 8 * i));
        u.b[12 + i] = uint8_t(w4 >> (24 - 8 * i));
    }
    return u;
}

// The four words back from the bytes (inverse of make_uid), for the platform-independent text form.
constexpr void uid_words(const uint8_t* b, uint32_t w[4]) {
#if VST3_COM_COMPATIBLE
    w[0] = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    w[1] = uint32_t(b[4]) << 16 | uint32_t(b[5]) << 24 | uint32_t(b[6]) | uint32_t(b[7]) << 8;
#else
    w[0] = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    w[1] = uint32_t(b[4]) << 24 | uint32_t(b[5]) << 16 | uint32_t(b[6]) << 8 | b[7];
#endif
    w[2] = uint32_t(b[8]) << 24 | uint32_t(b[9]) << 16 | uint32_t(b[10]) << 8 | b[11];
    w[3] = uint32_t(b[12]) << 24 | uint32_t(b[13]) << 16 | uint32_t(b[14]) << 8 | b[15];
}

// Plain 16-byte equality; a null pointer equals nothing.
inline bool uid_equal(const void* a, const uid& b) {
    if (!a) return false;
    const uint8_t* p = static_cast<const uint8_t*>(a);
    for (int i = 0; i < 16; ++i)
        if (p[i] != b.b[i]) return false;
    return true;
}

// ---- constants -----------------------------------------------------------------------------------

enum : int32 { kAudio = 0, kEvent = 1 };                 // MediaType
enum : int32 { kInput = 0, kOutput = 1 };                // BusDirection
enum : int32 { kMain = 0, kAux = 1 };                    // BusType
enum : uint32 { kDefaultActive = 1, kIsControlVoltage = 2 }; // BusInfo.flags
enum : int32 { kSimple = 0, kAdvanced = 1, kOfflineProcessing = 2 }; // IoMode
enum : int32 { kRealtime = 0, kPrefetch = 1, kOffline = 2 };          // process modes
enum : int32 { kSample32 = 0, kSample64 = 1 };                        // symbolic sample sizes
inline constexpr uint32 kNoTail = 0;
inline constexpr uint32 kInfiniteTail = 0xFFFFFFFFu;
inline constexpr ParamID kNoParamId = 0xFFFFFFFFu;
inline constexpr UnitID kRootUnitId = 0;
inline constexpr UnitID kNoParentUnitId = -1;
inline constexpr ProgramListID kNoProgramListId = -1;
inline constexpr int32 kManyInstances = 0x7FFFFFFF;
inline constexpr SpeakerArrangement kSpeakerL = 1u << 0;
inline constexpr SpeakerArrangement kSpeakerR = 1u << 1;
inline constexpr SpeakerArrangement kSpeakerC = 1u << 2;
inline constexpr SpeakerArrangement kSpeakerM = 1u << 19;
inline constexpr SpeakerArrangement kEmpty = 0;
inline constexpr SpeakerArrangement kStereo = kSpeakerL | kSpeakerR;
inline constexpr SpeakerArrangement kMono = kSpeakerM;

// PFactoryInfo.flags
enum : int32 {
    kNoFlags = 0,
    kClassesDiscardable = 1,
    kLicenseCheck = 2,
    kComponentNonDiscardable = 8,
    kUnicode = 16,
};
inline constexpr int32 kDefaultFactoryFlags = kUnicode;

// PClassInfo2.classFlags
enum : uint32 { kDistributable = 1, kSimpleModeSupported = 2 };

// ParameterInfo.flags
enum : int32 {
    kCanAutomate = 1,
    kIsReadOnly = 2,
    kIsWrapAround = 4,
    kIsList = 8,
    kIsHidden = 16,
    kIsProgramChange = 0x8000,
    kIsBypass = 0x10000,
};

// IComponentHandler.restartComponent flags
enum : int32 {
    kReloadComponent = 1,
    kIoChanged = 2,
    kParamValuesChanged = 4,
    kLatencyChanged = 8,
    kParamTitlesChanged = 0x10,
    kMidiCCAssignmentChanged = 0x20,
    kNoteExpressionChanged = 0x40,
    kIoTitlesChanged = 0x80,
    kPrefetchableSupportChanged = 0x100,
    kRoutingInfoChanged = 0x200,
    kKeyswitchChanged = 0x400,
    kParamIDMappingChanged = 0x800,
};

// ProcessContext.state
enum : uint32 {
    kPlaying = 1u << 1,
    kCycleActive = 1u << 2,
    kRecording = 1u << 3,
    kSystemTimeValid = 1u << 8,
    kProjectTimeMusicValid = 1u << 9,
    kTempoValid = 1u << 10,
    kBarPositionValid = 1u << 11,
    kCycleValid = 1u << 12,
    kTimeSigValid = 1u << 13,
    kSmpteValid = 1u << 14,
    kClockValid = 1u << 15,
    kContTimeValid = 1u << 17,
    kChordValid = 1u << 18,
};

// IBStream seek modes
enum : int32 { kIBSeekSet = 0, kIBSeekCur = 1, kIBSeekEnd = 2 };

// MIDI controller numbers beyond the 128 CCs (IMidiMapping)
enum : int16 { kAfterTouch = 128, kPitchBend = 129 };

// Event.type values
enum : uint16 { kNoteOnEvent = 0, kNoteOffEvent = 1, kDataEvent = 2, kLegacyMIDICCOutEvent = 65535 };

inline constexpr char kVstAudioEffectClass[] = "Audio Module Class";
inline constexpr char kVstComponentControllerClass[] = "Component Controller Class";
inline constexpr char kVstVersionString[] = "VST 3.7.14";
inline constexpr char kEditor[] = "editor";
inline constexpr char kPlatformTypeHWND[] = "HWND";
inline constexpr char kPlatformTypeX11EmbedWindowID[] = "X11EmbedWindowID";

// ---- structs -------------------------------------------------------------------------------------

struct PFactoryInfo {
    char8 vendor[64];
    char8 url[256];
    char8 email[128];
    int32 flags;
};

struct PClassInfo {
    TUID cid;
    int32 cardinality;
    char8 category[32];
    char8 name[64];
};

struct PClassInfo2 {
    TUID cid;
    int32 cardinality;
    char8 category[32];
    char8 name[64];
    uint32 classFlags;
    char8 subCategories[128];
    char8 vendor[64];
    char8 version[64];
    char8 sdkVersion[64];
};

struct PClassInfoW {
    TUID cid;
    int32 cardinality;
    char8 category[32];
    char16 name[64];
    uint32 classFlags;
    char8 subCategories[128];
    char16 vendor[64];
    char16 version[64];
    char16 sdkVersion[64];
};

struct ProcessSetup {
    int32 processMode;
    int32 symbolicSampleSize;
    int32 maxSamplesPerBlock;
    SampleRate sampleRate;
};

struct AudioBusBuffers {
    int32 numChannels;
    uint64 silenceFlags;
    union {
        Sample32** channelBuffers32;
        Sample64** channelBuffers64;
    };
};

struct IParameterChanges;
struct IEventList;
struct ProcessContext;

struct ProcessData {
    int32 processMode;
    int32 symbolicSampleSize;
    int32 numSamples;
    int32 numInputs;
    int32 numOutputs;
    AudioBusBuffers* inputs;
    AudioBusBuffers* outputs;
    IParameterChanges* inputParameterChanges;
    IParameterChanges* outputParameterChanges;
    IEventList* inputEvents;
    IEventList* outputEvents;
    ProcessContext* processContext;
};

struct BusInfo {
    MediaType mediaType;
    BusDirection direction;
    int32 channelCount;
    String128 name;
    BusType busType;
    uint32 flags;
};

struct RoutingInfo {
    MediaType mediaType;
    int32 busIndex;
    int32 channel;
};

struct ParameterInfo {
    ParamID id;
    String128 title;
    String128 shortTitle;
    String128 units;
    int32 stepCount;
    ParamValue defaultNormalizedValue;
    UnitID unitId;
    int32 flags;
};

struct Chord {
    uint8 keyNote;
    uint8 rootNote;
    int16 chordMask;
};

struct FrameRate {
    uint32 framesPerSecond;
    uint32 flags;
};

struct ProcessContext {
    uint32 state;
    double sampleRate;
    TSamples projectTimeSamples;
    int64 systemTime;
    TSamples continousTimeSamples;
    double projectTimeMusic;
    double barPositionMusic;
    double cycleStartMusic;
    double cycleEndMusic;
    double tempo;
    int32 timeSigNumerator;
    int32 timeSigDenominator;
    Chord chord;
    int32 smpteOffsetSubframes;
    FrameRate frameRate;
    int32 samplesToNextClock;
};

struct ViewRect {
    int32 left;
    int32 top;
    int32 right;
    int32 bottom;
};

struct UnitInfo {
    UnitID id;
    UnitID parentUnitId;
    String128 name;
    ProgramListID programListId;
};

struct ProgramListInfo {
    ProgramListID id;
    String128 name;
    int32 programCount;
};

struct LegacyMIDICCOutEvent {
    uint8 controlNumber;
    int8 channel;
    int8 value;
    int8 value2;
};

struct Event {
    int32 busIndex;
    int32 sampleOffset;
    double ppqPosition;
    uint16 flags;
    uint16 type;
    union {
        uint8 payload[24]; // the largest of the per-type records
        int64 payload_align_;
        LegacyMIDICCOutEvent midiCCOut;
    };
};

// ---- interfaces ----------------------------------------------------------------------------------
// Each carries its id as a static member (no effect on the layout). Comments give the slot numbers.
// Threads: the factory, IComponent, IEditController, IMidiMapping, IConnectionPoint, IPlugView and the
// host's IComponentHandler, IPlugFrame and IRunLoop are [main-thread] (the host's UI thread);
// IAudioProcessor::process is [audio-thread], setProcessing may come on either; FUnknown's three are
// [any-thread]. Objects are reference counted: a returned interface carries one reference for the
// caller, who releases it.

struct FUnknown {
    static constexpr uid iid = make_uid(0x00000000, 0x00000000, 0xC0000000, 0x00000046);
    virtual tresult VST3_API queryInterface(const char* iid, void** obj) = 0; // 0
    virtual uint32 VST3_API addRef() = 0;                                     // 1
    virtual uint32 VST3_API release() = 0;                                    // 2
};

struct IPluginFactory : FUnknown {
    static constexpr uid iid = make_uid(0x7A4D811C, 0x52114A1F, 0xAED9D2EE, 0x0B43BF9F);
    virtual tresult VST3_API getFactoryInfo(PFactoryInfo* info) = 0;                       // 3
    virtual int32 VST3_API countClasses() = 0;                                             // 4
    virtual tresult VST3_API getClassInfo(int32 index, PClassInfo* info) = 0;              // 5
    virtual tresult VST3_API createInstance(FIDString cid, FIDString iid, void** obj) = 0; // 6
};

struct IPluginFactory2 : IPluginFactory {
    static constexpr uid iid = make_uid(0x0007B650, 0xF24B4C0B, 0xA464EDB9, 0xF00B2ABB);
    virtual tresult VST3_API getClassInfo2(int32 index, PClassInfo2* info) = 0; // 7
};

struct IPluginFactory3 : IPluginFactory2 {
    static constexpr uid iid = make_uid(0x4555A2AB, 0xC1234E57, 0x9B122910, 0x36878931);
    virtual tresult VST3_API getClassInfoUnicode(int32 index, PClassInfoW* info) = 0; // 8
    virtual tresult VST3_API setHostContext(FUnknown* context) = 0;                  // 9
};

struct IPluginBase : FUnknown {
    static constexpr uid iid = make_uid(0x22888DDB, 0x156E45AE, 0x8358B348, 0x08190625);
    virtual tresult VST3_API initialize(FUnknown* context) = 0; // 3
    virtual tresult VST3_API terminate() = 0;                   // 4
};

struct IBStream : FUnknown {
    static constexpr uid iid = make_uid(0xC3BF6EA2, 0x30994752, 0x9B6BF990, 0x1EE33E9B);
    virtual tresult VST3_API read(void* buffer, int32 numBytes, int32* numBytesRead) = 0;     // 3
    virtual tresult VST3_API write(void* buffer, int32 numBytes, int32* numBytesWritten) = 0; // 4
    virtual tresult VST3_API seek(int64 pos, int32 mode, int64* result) = 0;                  // 5
    virtual tresult VST3_API tell(int64* pos) = 0;                                            // 6
};

struct IComponent : IPluginBase {
    static constexpr uid iid = make_uid(0xE831FF31, 0xF2D54301, 0x928EBBEE, 0x25697802);
    virtual tresult VST3_API getControllerClassId(char* classId) = 0;                                  // 5
    virtual tresult VST3_API setIoMode(IoMode mode) = 0;                                               // 6
    virtual int32 VST3_API getBusCount(MediaType type, BusDirection dir) = 0;                          // 7
    virtual tresult VST3_API getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo* bus) = 0; // 8
    virtual tresult VST3_API getRoutingInfo(RoutingInfo* inInfo, RoutingInfo* outInfo) = 0;            // 9
    virtual tresult VST3_API activateBus(MediaType type, BusDirection dir, int32 index, TBool state) = 0; // 10
    virtual tresult VST3_API setActive(TBool state) = 0;                                               // 11
    virtual tresult VST3_API setState(IBStream* state) = 0;                                            // 12
    virtual tresult VST3_API getState(IBStream* state) = 0;                                            // 13
};

struct IAudioProcessor : FUnknown {
    static constexpr uid iid = make_uid(0x42043F99, 0xB7DA453C, 0xA569E79D, 0x9AAEC33D);
    virtual tresult VST3_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                                SpeakerArrangement* outputs, int32 numOuts) = 0; // 3
    virtual tresult VST3_API getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement* arr) = 0; // 4
    virtual tresult VST3_API canProcessSampleSize(int32 symbolicSampleSize) = 0;                    // 5
    virtual uint32 VST3_API getLatencySamples() = 0;                                                // 6
    virtual tresult VST3_API setupProcessing(ProcessSetup* setup) = 0;                              // 7
    virtual tresult VST3_API setProcessing(TBool state) = 0;                                        // 8
    virtual tresult VST3_API process(ProcessData* data) = 0;                                        // 9
    virtual uint32 VST3_API getTailSamples() = 0;                                                   // 10
};

struct IProcessContextRequirements : FUnknown {
    static constexpr uid iid = make_uid(0x2A654303, 0xEF764E3D, 0x95B5FE83, 0x730EF6D0);
    virtual uint32 VST3_API getProcessContextRequirements() = 0; // 3
};

struct IParamValueQueue : FUnknown {
    static constexpr uid iid = make_uid(0x01263A18, 0xED074F6F, 0x98C9D356, 0x4686F9BA);
    virtual ParamID VST3_API getParameterId() = 0;                                             // 3
    virtual int32 VST3_API getPointCount() = 0;                                                // 4
    virtual tresult VST3_API getPoint(int32 index, int32* sampleOffset, ParamValue* value) = 0; // 5
    virtual tresult VST3_API addPoint(int32 sampleOffset, ParamValue value, int32* index) = 0;  // 6
};

struct IParameterChanges : FUnknown {
    static constexpr uid iid = make_uid(0xA4779663, 0x0BB64A56, 0xB44384A8, 0x466FEB9D);
    virtual int32 VST3_API getParameterCount() = 0;                                       // 3
    virtual IParamValueQueue* VST3_API getParameterData(int32 index) = 0;                 // 4
    virtual IParamValueQueue* VST3_API addParameterData(const ParamID* id, int32* index) = 0; // 5
};

struct IEventList : FUnknown {
    static constexpr uid iid = make_uid(0x3A2C4214, 0x346349FE, 0xB2C4F397, 0xB9695A44);
    virtual int32 VST3_API getEventCount() = 0;                 // 3
    virtual tresult VST3_API getEvent(int32 index, Event* e) = 0; // 4
    virtual tresult VST3_API addEvent(Event* e) = 0;            // 5
};

struct IPlugView;

struct IComponentHandler : FUnknown {
    static constexpr uid iid = make_uid(0x93A0BEA3, 0x0BD045DB, 0x8E890B0C, 0xC1E46AC6);
    virtual tresult VST3_API beginEdit(ParamID id) = 0;                             // 3
    virtual tresult VST3_API performEdit(ParamID id, ParamValue valueNormalized) = 0; // 4
    virtual tresult VST3_API endEdit(ParamID id) = 0;                               // 5
    virtual tresult VST3_API restartComponent(int32 flags) = 0;                     // 6
};

struct IComponentHandler2 : FUnknown {
    static constexpr uid iid = make_uid(0xF040B4B3, 0xA36045EC, 0xABCDC045, 0xB4D5A2CC);
    virtual tresult VST3_API setDirty(TBool state) = 0;            // 3
    virtual tresult VST3_API requestOpenEditor(FIDString name) = 0; // 4
    virtual tresult VST3_API startGroupEdit() = 0;                 // 5
    virtual tresult VST3_API finishGroupEdit() = 0;                // 6
};

struct IEditController : IPluginBase {
    static constexpr uid iid = make_uid(0xDCD7BBE3, 0x7742448D, 0xA874AACC, 0x979C759E);
    virtual tresult VST3_API setComponentState(IBStream* state) = 0;                                   // 5
    // Slots 6 and 7 share IComponent's C++ signatures; their names differ so that one object could
    // implement both interfaces without one override filling both.
    virtual tresult VST3_API setControllerState(IBStream* state) = 0;                                  // 6
    virtual tresult VST3_API getControllerState(IBStream* state) = 0;                                  // 7
    virtual int32 VST3_API getParameterCount() = 0;                                                    // 8
    virtual tresult VST3_API getParameterInfo(int32 paramIndex, ParameterInfo* info) = 0;              // 9
    virtual tresult VST3_API getParamStringByValue(ParamID id, ParamValue valueNormalized, char16* string) = 0; // 10
    virtual tresult VST3_API getParamValueByString(ParamID id, TChar* string, ParamValue* valueNormalized) = 0; // 11
    virtual ParamValue VST3_API normalizedParamToPlain(ParamID id, ParamValue valueNormalized) = 0;    // 12
    virtual ParamValue VST3_API plainParamToNormalized(ParamID id, ParamValue plainValue) = 0;         // 13
    virtual ParamValue VST3_API getParamNormalized(ParamID id) = 0;                                    // 14
    virtual tresult VST3_API setParamNormalized(ParamID id, ParamValue value) = 0;                     // 15
    virtual tresult VST3_API setComponentHandler(IComponentHandler* handler) = 0;                      // 16
    virtual IPlugView* VST3_API createView(FIDString name) = 0;                                        // 17
};

struct IEditController2 : FUnknown {
    static constexpr uid iid = make_uid(0x7F4EFE59, 0xF3204967, 0xAC27A3AE, 0xAFB63038);
    virtual tresult VST3_API setKnobMode(int32 mode) = 0;     // 3
    virtual tresult VST3_API openHelp(TBool onlyCheck) = 0;   // 4
    virtual tresult VST3_API openAboutBox(TBool onlyCheck) = 0; // 5
};

struct IMidiMapping : FUnknown {
    static constexpr uid iid = make_uid(0xDF0FF9F7, 0x49B74669, 0xB63AB732, 0x7ADBF5E5);
    virtual tresult VST3_API getMidiControllerAssignment(int32 busIndex, int16 channel,
                                                         CtrlNumber midiControllerNumber, ParamID* id) = 0; // 3
};

struct IAttributeList : FUnknown {
    static constexpr uid iid = make_uid(0x1E5F0AEB, 0xCC7F4533, 0xA2544011, 0x38AD5EE4);
    virtual tresult VST3_API setInt(const char* id, int64 value) = 0;                               // 3
    virtual tresult VST3_API getInt(const char* id, int64* value) = 0;                              // 4
    virtual tresult VST3_API setFloat(const char* id, double value) = 0;                            // 5
    virtual tresult VST3_API getFloat(const char* id, double* value) = 0;                           // 6
    virtual tresult VST3_API setString(const char* id, const TChar* string) = 0;                    // 7
    virtual tresult VST3_API getString(const char* id, TChar* string, uint32 sizeInBytes) = 0;      // 8
    virtual tresult VST3_API setBinary(const char* id, const void* data, uint32 sizeInBytes) = 0;   // 9
    virtual tresult VST3_API getBinary(const char* id, const void** data, uint32* sizeInBytes) = 0; // 10
};

struct IMessage : FUnknown {
    static constexpr uid iid = make_uid(0x936F033B, 0xC6C047DB, 0xBB0882F8, 0x13C1E613);
    virtual FIDString VST3_API getMessageID() = 0;       // 3
    virtual void VST3_API setMessageID(FIDString id) = 0; // 4
    virtual IAttributeList* VST3_API getAttributes() = 0; // 5
};

struct IConnectionPoint : FUnknown {
    static constexpr uid iid = make_uid(0x70A4156F, 0x6E6E4026, 0x989148BF, 0xAA60D8D1);
    virtual tresult VST3_API connect(IConnectionPoint* other) = 0;    // 3
    virtual tresult VST3_API disconnect(IConnectionPoint* other) = 0; // 4
    virtual tresult VST3_API notify(IMessage* message) = 0;           // 5
};

struct IHostApplication : FUnknown {
    static constexpr uid iid = make_uid(0x58E595CC, 0xDB2D4969, 0x8B6AAF8C, 0x36A664E5);
    virtual tresult VST3_API getName(char16* name) = 0;                             // 3
    virtual tresult VST3_API createInstance(char* cid, char* iid, void** obj) = 0;  // 4
};

struct IUnitInfo : FUnknown {
    static constexpr uid iid = make_uid(0x3D4BD6B5, 0x913A4FD2, 0xA886E768, 0xA5EB92C1);
    virtual int32 VST3_API getUnitCount() = 0;                                                    // 3
    virtual tresult VST3_API getUnitInfo(int32 unitIndex, UnitInfo* info) = 0;                    // 4
    virtual int32 VST3_API getProgramListCount() = 0;                                             // 5
    virtual tresult VST3_API getProgramListInfo(int32 listIndex, ProgramListInfo* info) = 0;      // 6
    virtual tresult VST3_API getProgramName(ProgramListID listId, int32 programIndex, char16* name) = 0; // 7
    virtual tresult VST3_API getProgramInfo(ProgramListID listId, int32 programIndex, CString attributeId,
                                            char16* attributeValue) = 0;                          // 8
    virtual tresult VST3_API hasProgramPitchNames(ProgramListID listId, int32 programIndex) = 0;  // 9
    virtual tresult VST3_API getProgramPitchName(ProgramListID listId, int32 programIndex, int16 midiPitch,
                                                 char16* name) = 0;                               // 10
    virtual UnitID VST3_API getSelectedUnit() = 0;                                                // 11
    virtual tresult VST3_API selectUnit(UnitID unitId) = 0;                                       // 12
    virtual tresult VST3_API getUnitByBus(MediaType type, BusDirection dir, int32 busIndex, int32 channel,
                                          UnitID* unitId) = 0;                                    // 13
    virtual tresult VST3_API setUnitProgramData(int32 listOrUnitId, int32 programIndex, IBStream* data) = 0; // 14
};

struct IPlugFrame;

struct IPlugView : FUnknown {
    static constexpr uid iid = make_uid(0x5BC32507, 0xD06049EA, 0xA6151B52, 0x2B755B29);
    virtual tresult VST3_API isPlatformTypeSupported(FIDString type) = 0;           // 3
    virtual tresult VST3_API attached(void* parent, FIDString type) = 0;            // 4
    virtual tresult VST3_API removed() = 0;                                         // 5
    virtual tresult VST3_API onWheel(float distance) = 0;                           // 6
    virtual tresult VST3_API onKeyDown(char16 key, int16 keyCode, int16 modifiers) = 0; // 7
    virtual tresult VST3_API onKeyUp(char16 key, int16 keyCode, int16 modifiers) = 0;   // 8
    virtual tresult VST3_API getSize(ViewRect* size) = 0;                           // 9
    virtual tresult VST3_API onSize(ViewRect* newSize) = 0;                         // 10
    virtual tresult VST3_API onFocus(TBool state) = 0;                              // 11
    virtual tresult VST3_API setFrame(IPlugFrame* frame) = 0;                       // 12
    virtual tresult VST3_API canResize() = 0;                                       // 13
    virtual tresult VST3_API checkSizeConstraint(ViewRect* rect) = 0;               // 14
};

struct IPlugFrame : FUnknown {
    static constexpr uid iid = make_uid(0x367FAF01, 0xAFA94693, 0x8D4DA2A0, 0xED0882A3);
    virtual tresult VST3_API resizeView(IPlugView* view, ViewRect* newSize) = 0; // 3
};

struct IPlugViewContentScaleSupport : FUnknown {
    static constexpr uid iid = make_uid(0x65ED9690, 0x8AC44525, 0x8AADEF7A, 0x72EA703F);
    virtual tresult VST3_API setContentScaleFactor(float factor) = 0; // 3
};

// The host's event loop on Linux (offered by the IPlugFrame or the factory's host context).
typedef uint64 TimerInterval;
typedef int FileDescriptor;

struct IEventHandler : FUnknown {
    static constexpr uid iid = make_uid(0x561E65C9, 0x13A0496F, 0x813A2C35, 0x654D7983);
    virtual void VST3_API onFDIsSet(FileDescriptor fd) = 0; // 3
};

struct ITimerHandler : FUnknown {
    static constexpr uid iid = make_uid(0x10BDD94F, 0x41424774, 0x821FAD8F, 0xECA72CA9);
    virtual void VST3_API onTimer() = 0; // 3
};

struct IRunLoop : FUnknown {
    static constexpr uid iid = make_uid(0x18C35366, 0x97764F1A, 0x9C5B8385, 0x7A871389);
    virtual tresult VST3_API registerEventHandler(IEventHandler* handler, FileDescriptor fd) = 0; // 3
    virtual tresult VST3_API unregisterEventHandler(IEventHandler* handler) = 0;                 // 4
    virtual tresult VST3_API registerTimer(ITimerHandler* handler, TimerInterval milliseconds) = 0; // 5
    virtual tresult VST3_API unregisterTimer(ITimerHandler* handler) = 0;                        // 6
};

// queryInterface helper: the interface T of obj with one reference for the caller, or null.
template <class T>
T* query(FUnknown* obj) {
    if (!obj) return nullptr;
    void* out = nullptr;
    if (obj->queryInterface(T::iid.bytes(), &out) != kResultOk) return nullptr;
    return static_cast<T*>(out);
}

} // namespace vst3
