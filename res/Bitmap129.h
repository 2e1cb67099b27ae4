#pragma once

#include <QColor>
#include <QImage>

// Bitmap 129: the pictures of the catalogue tree, a strip of 16 by 16 cells on a cyan
// ground that the image list turns transparent. Drawn pixel by pixel (no smoothing), so
// that no picture pixel comes out as the ground colour by accident.
inline constexpr int IDB_CATALOGUE_IMAGES = 129;
inline constexpr int BITMAP129_CELL = 16;
inline constexpr int BITMAP129_CELL_COUNT = 4;
inline const QColor BITMAP129_MASK(0, 255, 255);

// The cells, in strip order.
inline constexpr int BITMAP129_RFID_TAG = 0;
inline constexpr int BITMAP129_BARCODE = 1;
inline constexpr int BITMAP129_GEAR = 2;
inline constexpr int BITMAP129_PROMPT = 3;

// The whole strip: BITMAP129_CELL_COUNT cells side by side, RGB32.
QImage Bitmap129();
