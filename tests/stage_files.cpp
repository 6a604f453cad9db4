#include "stage_files.h"

#include "correction/correction.h"
#include "image/image.h"

void openForStages(const TemporaryDirectory& directory, const Raster& picture, bool linesAreRows) {
  const std::string input = directory.path("stages-in.tga");
  writeBytes(input, tgaFileOf(picture, 32));
  if (inputImage.loadTga(input.c_str()) != 0) return;
  inputImage.transposed = outputImage.transposed = linesAreRows ? 1 : 0;
  lineCount = linesAreRows ? picture.height : picture.width;
  lineLength = linesAreRows ? picture.width : picture.height;
  shiftTotal = 0;
  outputImage.resize(picture.width, picture.height);
  outputImage.createTga(directory.path("stages-out.tga").c_str());
}

void openForStages(const TemporaryDirectory& directory, const Raster& picture) {
  openForStages(directory, picture, picture.width > picture.height);
}

Raster savedStageOutput(const TemporaryDirectory& directory) {
  const std::string output = directory.path("stages-out.tga");
  if (!inputImage.closeTga() || outputImage.saveTga() != 0) {
    outputImage.discardTga();
    return Raster();
  }
  return rasterOfSavedFile(readBytes(output));
}
