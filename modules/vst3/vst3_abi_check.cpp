// Compile-time checks of vst3_abi.h against the published ABI: struct sizes, alignments and offsets,
// the 16 id bytes of every interface on this platform, result codes and constants. A layout or id
// that drifts stops the build here instead of failing inside a host.
#include <cstddef>

#include "vst3_abi.h"

using namespace vst3;

namespace {

constexpr int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c - 'a' + 10;
}

// True when the 32 hex digits in text are exactly the bytes of u.
constexpr bool uid_is(const uid& u, const char (&text)[33]) {
    for (int i = 0; i < 16; ++i)
        if (u.b[i] != uint8_t(hex_digit(text[2 * i]) * 16 + hex_digit(text[2 * i + 1]))) return false;
    return true;
}

// make_uid and uid_words are inverses on this platform.
constexpr bool words_round_trip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    uid u = make_uid(a, b, c, d);
    uint32_t w[4] = {};
    uid_words(u.b, w);
    return w[0] == a && w[1] == b && w[2] == c && w[3] == d;
}
static_assert(words_round_trip(0xE831FF31, 0xF2D54301, 0x928EBBEE, 0x25697802));

#if VST3_COM_COMPATIBLE
#define CHECK_IID(T, linux_bytes, windows_bytes) static_assert(uid_is(T::iid, windows_bytes), #T)
#else
#define CHECK_IID(T, linux_bytes, windows_bytes) static_assert(uid_is(T::iid, linux_bytes), #T)
#endif

CHECK_IID(FUnknown, "0000000000000000C000000000000046", "0000000000000000C000000000000046");
CHECK_IID(IPluginFactory, "7A4D811C52114A1FAED9D2EE0B43BF9F", "1C814D7A11521F4AAED9D2EE0B43BF9F");
CHECK_IID(IPluginFactory2, "0007B650F24B4C0BA464EDB9F00B2ABB", "50B607004BF20B4CA464EDB9F00B2ABB");
CHECK_IID(IPluginFactory3, "4555A2ABC1234E579B12291036878931", "ABA2554523C1574E9B12291036878931");
CHECK_IID(IPluginBase, "22888DDB156E45AE8358B34808190625", "DB8D88226E15AE458358B34808190625");
CHECK_IID(IComponent, "E831FF31F2D54301928EBBEE25697802", "31FF31E8D5F20143928EBBEE25697802");
CHECK_IID(IAudioProcessor, "42043F99B7DA453CA569E79D9AAEC33D", "993F0442DAB73C45A569E79D9AAEC33D");
CHECK_IID(IProcessContextRequirements, "2A654303EF764E3D95B5FE83730EF6D0", "0343652A76EF3D4E95B5FE83730EF6D0");
CHECK_IID(IEditController, "DCD7BBE37742448DA874AACC979C759E", "E3BBD7DC42778D44A874AACC979C759E");
CHECK_IID(IEditController2, "7F4EFE59F3204967AC27A3AEAFB63038", "59FE4E7F20F36749AC27A3AEAFB63038");
CHECK_IID(IMidiMapping, "DF0FF9F749B74669B63AB7327ADBF5E5", "F7F90FDFB7496946B63AB7327ADBF5E5");
CHECK_IID(IConnectionPoint, "70A4156F6E6E4026989148BFAA60D8D1", "6F15A4706E6E2640989148BFAA60D8D1");
CHECK_IID(IMessage, "936F033BC6C047DBBB0882F813C1E613", "3B036F93C0C6DB47BB0882F813C1E613");
CHECK_IID(IAttributeList, "1E5F0AEBCC7F4533A254401138AD5EE4", "EB0A5F1E7FCC3345A254401138AD5EE4");
CHECK_IID(IComponentHandler, "93A0BEA30BD045DB8E890B0CC1E46AC6", "A3BEA093D00BDB458E890B0CC1E46AC6");
CHECK_IID(IComponentHandler2, "F040B4B3A36045ECABCDC045B4D5A2CC", "B3B440F060A3EC45ABCDC045B4D5A2CC");
CHECK_IID(IUnitInfo, "3D4BD6B5913A4FD2A886E768A5EB92C1", "B5D64B3D3A91D24FA886E768A5EB92C1");
CHECK_IID(IBStream, "C3BF6EA2309947529B6BF9901EE33E9B", "A26EBFC3993052479B6BF9901EE33E9B");
CHECK_IID(IParameterChanges, "A47796630BB64A56B44384A8466FEB9D", "639677A4B60B564AB44384A8466FEB9D");
CHECK_IID(IParamValueQueue, "01263A18ED074F6F98C9D3564686F9BA", "183A260107ED6F4F98C9D3564686F9BA");
CHECK_IID(IEventList, "3A2C4214346349FEB2C4F397B9695A44", "14422C3A6334FE49B2C4F397B9695A44");
CHECK_IID(IPlugView, "5BC32507D06049EAA6151B522B755B29", "0725C35B60D0EA49A6151B522B755B29");
CHECK_IID(IPlugFrame, "367FAF01AFA946938D4DA2A0ED0882A3", "01AF7F36A9AF93468D4DA2A0ED0882A3");
CHECK_IID(IPlugViewContentScaleSupport, "65ED96908AC445258AADEF7A72EA703F", "9096ED65C48A25458AADEF7A72EA703F");
CHECK_IID(IRunLoop, "18C3536697764F1A9C5B83857A871389", "6653C31876971A4F9C5B83857A871389");
CHECK_IID(IEventHandler, "561E65C913A0496F813A2C35654D7983", "C9651E56A0136F49813A2C35654D7983");
CHECK_IID(ITimerHandler, "10BDD94F41424774821FAD8FECA72CA9", "4FD9BD1042417447821FAD8FECA72CA9");
CHECK_IID(IHostApplication, "58E595CCDB2D49698B6AAF8C36A664E5", "CC95E5582DDB69498B6AAF8C36A664E5");

// Basic types.
static_assert(sizeof(TBool) == 1 && sizeof(char16) == 2 && sizeof(String128) == 256);
static_assert(sizeof(tresult) == 4 && sizeof(TSize) == 8 && sizeof(ParamID) == 4 && sizeof(ParamValue) == 8);
static_assert(sizeof(SpeakerArrangement) == 8 && sizeof(TUID) == 16 && sizeof(CtrlNumber) == 2);

// Result codes.
#if VST3_COM_COMPATIBLE
static_assert(kNoInterface == int32_t(0x80004002u) && kInvalidArgument == int32_t(0x80070057u));
static_assert(kNotImplemented == int32_t(0x80004001u) && kInternalError == int32_t(0x80004005u));
static_assert(kNotInitialized == int32_t(0x8000FFFFu) && kOutOfMemory == int32_t(0x8007000Eu));
#else
static_assert(kNoInterface == -1 && kInvalidArgument == 2 && kNotImplemented == 3);
static_assert(kInternalError == 4 && kNotInitialized == 5 && kOutOfMemory == 6);
#endif
static_assert(kResultOk == 0 && kResultTrue == 0 && kResultFalse == 1);

#define CHECK_LAYOUT(T, size, align) static_assert(sizeof(T) == (size) && alignof(T) == (align), #T)
#define CHECK_AT(T, field, off) static_assert(offsetof(T, field) == (off), #T "." #field)

CHECK_LAYOUT(PFactoryInfo, 452, 4);
CHECK_AT(PFactoryInfo, url, 64);
CHECK_AT(PFactoryInfo, email, 320);
CHECK_AT(PFactoryInfo, flags, 448);

CHECK_LAYOUT(PClassInfo, 116, 4);
CHECK_AT(PClassInfo, cardinality, 16);
CHECK_AT(PClassInfo, category, 20);
CHECK_AT(PClassInfo, name, 52);

CHECK_LAYOUT(PClassInfo2, 440, 4);
CHECK_AT(PClassInfo2, classFlags, 116);
CHECK_AT(PClassInfo2, subCategories, 120);
CHECK_AT(PClassInfo2, vendor, 248);
CHECK_AT(PClassInfo2, version, 312);
CHECK_AT(PClassInfo2, sdkVersion, 376);

CHECK_LAYOUT(PClassInfoW, 696, 4);
CHECK_AT(PClassInfoW, name, 52);
CHECK_AT(PClassInfoW, classFlags, 180);
CHECK_AT(PClassInfoW, subCategories, 184);
CHECK_AT(PClassInfoW, vendor, 312);
CHECK_AT(PClassInfoW, version, 440);
CHECK_AT(PClassInfoW, sdkVersion, 568);

CHECK_LAYOUT(ProcessSetup, 24, 8);
CHECK_AT(ProcessSetup, symbolicSampleSize, 4);
CHECK_AT(ProcessSetup, maxSamplesPerBlock, 8);
CHECK_AT(ProcessSetup, sampleRate, 16);

CHECK_LAYOUT(AudioBusBuffers, 24, 8);
CHECK_AT(AudioBusBuffers, silenceFlags, 8);
CHECK_AT(AudioBusBuffers, channelBuffers32, 16);

CHECK_LAYOUT(ProcessData, 80, 8);
CHECK_AT(ProcessData, numSamples, 8);
CHECK_AT(ProcessData, numInputs, 12);
CHECK_AT(ProcessData, numOutputs, 16);
CHECK_AT(ProcessData, inputs, 24);
CHECK_AT(ProcessData, outputs, 32);
CHECK_AT(ProcessData, inputParameterChanges, 40);
CHECK_AT(ProcessData, outputParameterChanges, 48);
CHECK_AT(ProcessData, inputEvents, 56);
CHECK_AT(ProcessData, outputEvents, 64);
CHECK_AT(ProcessData, processContext, 72);

CHECK_LAYOUT(BusInfo, 276, 4);
CHECK_AT(BusInfo, direction, 4);
CHECK_AT(BusInfo, channelCount, 8);
CHECK_AT(BusInfo, name, 12);
CHECK_AT(BusInfo, busType, 268);
CHECK_AT(BusInfo, flags, 272);

CHECK_LAYOUT(RoutingInfo, 12, 4);
CHECK_AT(RoutingInfo, busIndex, 4);
CHECK_AT(RoutingInfo, channel, 8);

CHECK_LAYOUT(ParameterInfo, 792, 8);
CHECK_AT(ParameterInfo, title, 4);
CHECK_AT(ParameterInfo, shortTitle, 260);
CHECK_AT(ParameterInfo, units, 516);
CHECK_AT(ParameterInfo, stepCount, 772);
CHECK_AT(ParameterInfo, defaultNormalizedValue, 776);
CHECK_AT(ParameterInfo, unitId, 784);
CHECK_AT(ParameterInfo, flags, 788);

CHECK_LAYOUT(ProcessContext, 112, 8);
CHECK_AT(ProcessContext, sampleRate, 8);
CHECK_AT(ProcessContext, projectTimeSamples, 16);
CHECK_AT(ProcessContext, systemTime, 24);
CHECK_AT(ProcessContext, continousTimeSamples, 32);
CHECK_AT(ProcessContext, projectTimeMusic, 40);
CHECK_AT(ProcessContext, barPositionMusic, 48);
CHECK_AT(ProcessContext, cycleStartMusic, 56);
CHECK_AT(ProcessContext, cycleEndMusic, 64);
CHECK_AT(ProcessContext, tempo, 72);
CHECK_AT(ProcessContext, timeSigNumerator, 80);
CHECK_AT(ProcessContext, timeSigDenominator, 84);
CHECK_AT(ProcessContext, chord, 88);
CHECK_AT(ProcessContext, smpteOffsetSubframes, 92);
CHECK_AT(ProcessContext, frameRate, 96);
CHECK_AT(ProcessContext, samplesToNextClock, 104);

CHECK_LAYOUT(ViewRect, 16, 4);
CHECK_AT(ViewRect, bottom, 12);

CHECK_LAYOUT(UnitInfo, 268, 4);
CHECK_AT(UnitInfo, name, 8);
CHECK_AT(UnitInfo, programListId, 264);
CHECK_LAYOUT(ProgramListInfo, 264, 4);
CHECK_AT(ProgramListInfo, programCount, 260);

CHECK_LAYOUT(Event, 48, 8);
CHECK_AT(Event, sampleOffset, 4);
CHECK_AT(Event, ppqPosition, 8);
CHECK_AT(Event, flags, 16);
CHECK_AT(Event, type, 18);
CHECK_AT(Event, midiCCOut, 24);
static_assert(sizeof(LegacyMIDICCOutEvent) == 4);

// Interfaces are one vtable pointer each.
static_assert(sizeof(FUnknown) == sizeof(void*) && sizeof(IAudioProcessor) == sizeof(void*));
static_assert(sizeof(IEditController) == sizeof(void*) && sizeof(IPlugView) == sizeof(void*));

// Constants.
static_assert(kDefaultFactoryFlags == 16 && kManyInstances == 0x7FFFFFFF && kStereo == 3 && kMono == 0x80000);
static_assert(kIsBypass == 0x10000 && kIsProgramChange == 0x8000 && kIsHidden == 16 && kIsList == 8);
static_assert(kLatencyChanged == 8 && kParamValuesChanged == 4 && kMidiCCAssignmentChanged == 0x20);
static_assert(kContTimeValid == 0x20000 && kSystemTimeValid == 0x100 && kPlaying == 2);
static_assert(kNoParamId == 0xFFFFFFFFu && kInfiniteTail == 0xFFFFFFFFu);

} // namespace
