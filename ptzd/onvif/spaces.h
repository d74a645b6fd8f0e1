// ONVIF's pan/tilt coordinate spaces and the head's degrees: which spaces
// the device offers, their ranges, and what a unit of each is in degrees.
// Pure: everything comes from the head's units and the configured view.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "motion/units.h"

namespace ptzd::onvif {

constexpr const char* kPositionSpace = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace";
constexpr const char* kTranslationSpace = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationGenericSpace";
constexpr const char* kVelocitySpace = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";
constexpr const char* kSpeedSpace = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/GenericSpeedSpace";
constexpr const char* kDegreesPosition = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/SphericalPositionSpaceDegrees";
constexpr const char* kDegreesTranslation = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/SphericalTranslationSpaceDegrees";
constexpr const char* kFovTranslation = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationSpaceFov";

// A space a move's vector is given in: the range of its numbers, and the
// degrees each stands for (a position for an absolute move, a distance for
// a relative one).
struct MoveSpace {
    double min = -1, max = 1;
    std::function<double(motion::Axis, double)> degrees;
};

// The space `uri` names for an absolute (position) or relative
// (translation) move; "" is the generic one. Nothing when the device has
// no such space. `fov` is the view's width and height in degrees.
std::optional<MoveSpace> SpaceOfMove(bool absolute, const std::string& uri, const motion::Units& u,
                                     double fovHorizontal, double fovVertical);

// A range of degrees in the generic position space.
motion::Range GenericRange(const motion::Units& u, motion::Axis axis, motion::Range degrees);
// A position in the generic space, in degrees.
double DegreesOfGeneric(const motion::Units& u, motion::Axis axis, double generic);

// A tt:Space2DDescription-shaped element: `<tt:ELEMENT><tt:URI>...` with
// its X and Y ranges.
std::string RangeXml(const char* element, const char* uri, motion::Range x, motion::Range y);

// The SupportedPTZSpaces' content for moves kept in `pan` and `tilt`
// (degrees): the generic spaces span those limits, the degrees spaces are them.
std::string SpacesXml(const motion::Units& u, motion::Range pan, motion::Range tilt);

}  // namespace ptzd::onvif
