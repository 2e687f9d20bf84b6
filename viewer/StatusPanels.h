// The viewer's "where am I" panel: the image's place in its folder and the zoom.
#pragma once

#include <string>

// "3/120" for position 3 of count, empty when the position is not known (0).
std::string PositionText(int position, int count);
// The zoom as a whole percentage, "25 %" (below 10 % one decimal: "2.5 %"); empty for 0.
std::string ZoomText(double zoom);
// Both, as the panel shows them: "3/120   25 %".
std::string PositionAndZoomText(int position, int count, double zoom);
