// Makes the bundled sample images from the image library's own built-in images and patterns.
// Nothing random is used, so every build makes the same files.
//
//   make-samples FOLDER
#include <magick/MagickCore.h>

#include <cstdio>
#include <string>

namespace {

ExceptionInfo* exception = nullptr;

Image* builtIn(const char* name, const char* size = nullptr) {
    ImageInfo* info = AcquireImageInfo();
    std::snprintf(info->filename, sizeof info->filename, "%s", name);
    if (size != nullptr) {
        CloneString(&info->size, size);
    }
    Image* image = ReadImage(info, exception);
    DestroyImageInfo(info);
    if (image == nullptr) {
        std::fprintf(stderr, "make-samples: cannot make %s: %s\n", name,
                     exception->reason ? exception->reason : "");
    }
    return image;
}

bool write(Image* image, const std::string& path, size_t quality = 0) {
    ImageInfo* info = AcquireImageInfo();
    if (quality != 0) {
        info->quality = quality;
    }
    std::snprintf(image->filename, sizeof image->filename, "%s", path.c_str());
    const bool ok = WriteImage(info, image) != MagickFalse;
    DestroyImageInfo(info);
    if (!ok) {
        std::fprintf(stderr, "make-samples: cannot write %s\n", path.c_str());
    }
    return ok;
}

Image* resized(Image* image, size_t columns, size_t rows) {
    return ResizeImage(image, columns, rows, TriangleFilter, 1.0, exception);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-samples FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    MagickCoreGenesis(argv[0], MagickFalse);
    exception = AcquireExceptionInfo();
    bool ok = true;

    Image* rose = builtIn("rose:");
    Image* logo = builtIn("logo:");
    Image* wizard = builtIn("wizard:");
    Image* granite = builtIn("granite:");
    Image* netscape = builtIn("netscape:");
    Image* checkers = builtIn("pattern:checkerboard", "320x240");
    if (!rose || !logo || !wizard || !granite || !netscape || !checkers) {
        return 1;
    }

    ok &= write(rose, folder + "/rose.jpg", 92);
    ok &= write(wizard, folder + "/wizard.gif");
    ok &= write(granite, folder + "/granite.bmp");
    ok &= write(netscape, folder + "/netscape.tiff");
    ok &= write(checkers, folder + "/checkerboard.webp", 90);

    // The logo on a transparent background.
    Image* cutout = CloneImage(logo, 0, 0, MagickTrue, exception);
    MagickPixelPacket white;
    GetMagickPixelPacket(cutout, &white);
    white.red = white.green = white.blue = QuantumRange;
    SetImageAlphaChannel(cutout, SetAlphaChannel);
    TransparentPaintImage(cutout, &white, TransparentOpacity, MagickFalse);
    ok &= write(cutout, folder + "/logo with alpha.png");

    Image* medium = resized(logo, 800, 600);
    ok &= medium != nullptr && write(medium, folder + "/été – façade.jpg", 90);

    // The large photo of the benchmarks: 6000 x 4000, baseline JPEG.
    Image* large = resized(wizard, 6000, 4000);
    ok &= large != nullptr && write(large, folder + "/large 6000x4000.jpg", 90);

    for (Image* image : {rose, logo, wizard, granite, netscape, checkers, cutout, medium, large}) {
        if (image != nullptr) {
            DestroyImage(image);
        }
    }
    DestroyExceptionInfo(exception);
    MagickCoreTerminus();
    return ok ? 0 : 1;
}
