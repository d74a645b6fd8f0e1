#include "onvif/spaces.h"

#include <algorithm>

#include "onvif/xs.h"

namespace ptzd::onvif {

using motion::Axis;

std::optional<MoveSpace> SpaceOfMove(bool absolute, const std::string& uri, const motion::Units& u,
                                     double fovHorizontal, double fovVertical) {
    MoveSpace s;
    if (absolute && (uri.empty() || uri == kPositionSpace)) {
        s.degrees = [&u](Axis a, double g) { return DegreesOfGeneric(u, a, g); };
    } else if (absolute && uri == kDegreesPosition) {
        const motion::Range m1 = u.MechanicalDegrees(Axis::Pan), m2 = u.MechanicalDegrees(Axis::Tilt);
        s.min = std::min(m1.min, m2.min), s.max = std::max(m1.max, m2.max);
        s.degrees = [](Axis, double d) { return d; };
    } else if (!absolute && (uri.empty() || uri == kTranslationSpace)) {
        s.degrees = [&u](Axis a, double g) {
            const motion::StepRange m = u.Mechanical(a);
            return g * (u.Degrees(a, m.max) - u.Degrees(a, m.min)) / 2;
        };
    } else if (!absolute && uri == kFovTranslation) {
        // The image's centre is the origin, (1, 1) its upper right corner:
        // 1 is half the field of view (a client centring an object at x in
        // a frame of width w sends 2x/w - 1).
        s.degrees = [fovHorizontal, fovVertical](Axis a, double f) {
            return f * (a == Axis::Pan ? fovHorizontal : fovVertical) / 2;
        };
    } else if (!absolute && uri == kDegreesTranslation) {
        s.min = -720, s.max = 720;
        s.degrees = [](Axis, double d) { return d; };
    } else {
        return std::nullopt;
    }
    return s;
}

motion::Range GenericRange(const motion::Units& u, Axis axis, motion::Range degrees) {
    const double a = u.Generic(axis, u.Steps(axis, degrees.min)), b = u.Generic(axis, u.Steps(axis, degrees.max));
    return motion::Range{std::min(a, b), std::max(a, b)};
}

double DegreesOfGeneric(const motion::Units& u, Axis axis, double generic) {
    return u.Degrees(axis, u.StepsFromGeneric(axis, generic));
}

std::string RangeXml(const char* element, const char* uri, motion::Range x, motion::Range y) {
    return std::string("<tt:") + element + "><tt:URI>" + uri + "</tt:URI><tt:XRange><tt:Min>" + FloatText(x.min) +
           "</tt:Min><tt:Max>" + FloatText(x.max) + "</tt:Max></tt:XRange><tt:YRange><tt:Min>" + FloatText(y.min) +
           "</tt:Min><tt:Max>" + FloatText(y.max) + "</tt:Max></tt:YRange></tt:" + element + ">";
}

std::string SpacesXml(const motion::Units& u, motion::Range pan, motion::Range tilt) {
    const auto span = [](motion::Range r) { return motion::Range{-(r.max - r.min), r.max - r.min}; };
    const motion::Range unit{-1, 1};
    return RangeXml("AbsolutePanTiltPositionSpace", kPositionSpace, GenericRange(u, Axis::Pan, pan),
                    GenericRange(u, Axis::Tilt, tilt)) +
           RangeXml("AbsolutePanTiltPositionSpace", kDegreesPosition, pan, tilt) +
           RangeXml("RelativePanTiltTranslationSpace", kTranslationSpace, unit, unit) +
           RangeXml("RelativePanTiltTranslationSpace", kFovTranslation, unit, unit) +
           RangeXml("RelativePanTiltTranslationSpace", kDegreesTranslation, span(pan), span(tilt)) +
           RangeXml("ContinuousPanTiltVelocitySpace", kVelocitySpace, unit, unit) +
           std::string("<tt:PanTiltSpeedSpace><tt:URI>") + kSpeedSpace +
           "</tt:URI><tt:XRange><tt:Min>0</tt:Min><tt:Max>1</tt:Max></tt:XRange></tt:PanTiltSpeedSpace>";
}

}  // namespace ptzd::onvif
