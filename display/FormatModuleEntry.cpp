// The format module's one exported name: the table of its decoders.
#include "FormatModule.h"

extern "C" __attribute__((visibility("default"))) const engine::FormatModule*
OrvalenFormatModule() {
    static const engine::FormatModule table{
        engine::kFormatModuleVersion,     engine::loaded::DecodeJpegXl,  engine::loaded::PingJpegXl,
        engine::loaded::JxlMayBeAnimated, engine::loaded::OpenJxlFrames, engine::loaded::DecodeHeif,
        engine::loaded::PingHeif};
    return &table;
}
