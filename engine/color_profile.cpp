#include "engine/color_profile.h"

#include <lcms2.h>

#include <cmath>
#include <cwchar>

namespace {

// sRGB's usual encodings (IEC 61966-2.1's, the v4 ones, the editors' own)
// differ from the built-in profile by at most 0.0003 in their colorants and
// 0.00003 in their curves; the nearest other spaces (Rec. 709's curve, PAL's
// primaries) by 0.019 and more.
constexpr double kColorantTolerance = 0.001;
constexpr double kCurveTolerance = 0.001;
constexpr int kCurveSamples = 1024;

const cmsTagSignature kColorants[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
const cmsTagSignature kCurves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};

void LogNothing(cmsContext, cmsUInt32Number, const char*) {}

// What one conversion holds, closed in the reverse order however it ends.
struct Handles {
    cmsContext context = nullptr;
    cmsHPROFILE source = nullptr;
    cmsHPROFILE srgb = nullptr;
    cmsHTRANSFORM transform = nullptr;

    ~Handles() {
        if (transform != nullptr) cmsDeleteTransform(transform);
        if (srgb != nullptr) cmsCloseProfile(srgb);
        if (source != nullptr) cmsCloseProfile(source);
        if (context != nullptr) cmsDeleteContext(context);
    }
};

bool SameColorant(const cmsCIEXYZ* a, const cmsCIEXYZ* b) {
    return a != nullptr && b != nullptr && std::fabs(a->X - b->X) <= kColorantTolerance &&
           std::fabs(a->Y - b->Y) <= kColorantTolerance && std::fabs(a->Z - b->Z) <= kColorantTolerance;
}

bool SameCurve(const cmsToneCurve* a, const cmsToneCurve* b) {
    if (a == nullptr || b == nullptr) return false;
    for (int i = 0; i <= kCurveSamples; ++i) {
        const auto x = static_cast<cmsFloat32Number>(i) / kCurveSamples;
        if (std::fabs(cmsEvalToneCurveFloat(a, x) - cmsEvalToneCurveFloat(b, x)) > kCurveTolerance) return false;
    }
    return true;
}

// A matrix-shaper profile whose colorants and curves are sRGB's; a lookup
// table for the perceptual intent would be used instead, so it never is.
bool SameAsSrgb(cmsHPROFILE profile, cmsHPROFILE srgb) {
    if (!cmsIsMatrixShaper(profile) || cmsIsCLUT(profile, INTENT_PERCEPTUAL, LCMS_USED_AS_INPUT)) return false;
    for (int c = 0; c < 3; ++c) {
        if (!SameColorant(static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, kColorants[c])),
                          static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb, kColorants[c]))) ||
            !SameCurve(static_cast<const cmsToneCurve*>(cmsReadTag(profile, kCurves[c])),
                       static_cast<const cmsToneCurve*>(cmsReadTag(srgb, kCurves[c]))))
            return false;
    }
    return true;
}

// Profiles that describe a device's or a space's RGB pictures; links,
// abstract and named-colour profiles are no picture's colours.
bool DescribesRgbPictures(cmsHPROFILE profile) {
    const cmsProfileClassSignature kind = cmsGetDeviceClass(profile);
    return cmsGetColorSpace(profile) == cmsSigRgbData && (kind == cmsSigInputClass || kind == cmsSigDisplayClass ||
                                                          kind == cmsSigOutputClass || kind == cmsSigColorSpaceClass);
}

void ConvertPalette(cmsHTRANSFORM transform, RGBQUAD (&palette)[256]) {
    uint8_t colours[256][3];
    for (int i = 0; i < 256; ++i) {
        colours[i][0] = palette[i].rgbBlue;
        colours[i][1] = palette[i].rgbGreen;
        colours[i][2] = palette[i].rgbRed;
    }
    cmsDoTransform(transform, colours, colours, 256);
    for (int i = 0; i < 256; ++i) {
        palette[i].rgbBlue = colours[i][0];
        palette[i].rgbGreen = colours[i][1];
        palette[i].rgbRed = colours[i][2];
    }
}

// The description for a report: one line of printable text.
void ReadDescription(cmsHPROFILE profile, WCHAR (&name)[kProfileNameLength]) {
    wchar_t text[kProfileNameLength] = {};
    cmsGetProfileInfo(profile, cmsInfoDescription, "en", "US", text, sizeof text);
    int i = 0;
    for (; i < kProfileNameLength - 1 && text[i] != 0; ++i)
        name[i] = text[i] < 0x20 || text[i] == 0x7F ? L' ' : static_cast<WCHAR>(text[i]);
    name[i] = 0;
}

}  // namespace

bool ConvertToSrgb(DecodedImage& picture, WCHAR (&name)[kProfileNameLength]) {
    name[0] = 0;
    const int bitCount = picture.header.biBitCount;
    if (picture.iccProfile == nullptr || picture.pixels == nullptr || (bitCount != 8 && bitCount != 24)) return false;
    Handles handles;
    handles.context = cmsCreateContext(nullptr, nullptr);
    if (handles.context == nullptr) return false;
    cmsSetLogErrorHandlerTHR(handles.context, LogNothing);
    handles.source = cmsOpenProfileFromMemTHR(handles.context, picture.iccProfile, picture.iccProfileSize);
    if (handles.source == nullptr || !DescribesRgbPictures(handles.source)) return false;
    handles.srgb = cmsCreate_sRGBProfileTHR(handles.context);
    if (handles.srgb == nullptr || SameAsSrgb(handles.source, handles.srgb)) return false;
    handles.transform = cmsCreateTransformTHR(handles.context, handles.source, TYPE_BGR_8, handles.srgb, TYPE_BGR_8,
                                              INTENT_PERCEPTUAL, 0);
    if (handles.transform == nullptr) return false;
    if (bitCount == 24) {
        const BITMAPINFOHEADER& header = picture.header;
        const auto stride = static_cast<cmsUInt32Number>(PaddedRowBytes(header.biWidth, 24));
        cmsDoTransformLineStride(handles.transform, picture.pixels, picture.pixels,
                                 static_cast<cmsUInt32Number>(header.biWidth),
                                 static_cast<cmsUInt32Number>(header.biHeight), stride, stride, 0, 0);
    } else {
        ConvertPalette(handles.transform, picture.palette);
    }
    ReadDescription(handles.source, name);
    ReleaseIccProfile(picture);
    return true;
}
