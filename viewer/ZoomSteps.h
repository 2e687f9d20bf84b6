// The viewer's zoom steps.
#pragma once

// The first step above desired (with a 5 % margin) of 0.1, 1/6, 0.25, 1/3, 0.5, 0.75, 1, 1.25,
// 1.5, 2, 3; from 2.85 on, the next whole number.
double NextZoomIn(double desired);
// The first step below desired (with a 5 % margin); above 4.2 one whole number less; below the
// steps 80 % of desired. Never so small that the image's shorter side is under 8 pixels: then
// the zoom that makes it 8 pixels. An image without pixels has no lower limit.
double NextZoomOut(double desired, double columns, double rows);
