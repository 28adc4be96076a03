#include "image/PictureLoader.h"

bool LoadStdPicture(const uint8_t* data, size_t size, StdPicture& picture) {
    picture.Type = 0;
    if (DecodeBitmapFile(data, size, picture.Bitmap) || DecodeJPEG(data, size, picture.Bitmap)) picture.Type = 1;
    return picture.Type != 0;
}
