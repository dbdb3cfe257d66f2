// Image-file readers and writers.
#include "QiImage.h"
#include "QiOutput.h"

bool QiImage::writePng(const char* path) {
    gOutput->trace(QiOutput::Error, "%s: not available (%s)\n", __func__, path ? path : "");
    return false;
}

bool QiImage::writeJpg(const char* path, int) {
    gOutput->trace(QiOutput::Error, "%s: not available (%s)\n", __func__, path ? path : "");
    return false;
}

bool QiImage::writeMti(const char* path) {
    gOutput->trace(QiOutput::Error, "%s: not available (%s)\n", __func__, path ? path : "");
    return false;
}
