#include "console_text.h"

#include <regex>

#include "version.h"

std::string bannerText() {
  return std::string("Lomvera ") + LOMVERA_VERSION + " (" + LOMVERA_RELEASE_DATE + ")\n\n";
}

std::string loadingText(const std::string& inputPath) { return "\nloading input file " + inputPath; }

std::string progressText(int lineCount) {
  const auto dotsOfWalk = [lineCount](int lastStart) {
    std::string dots;
    for (int i = 0; i <= lastStart; i += 2) dots += dotAfterStep(i, lineCount) ? "." : "";
    return dots;
  };
  return "\ncomputing shift  " + dotsOfWalk(lineCount - 3) + "\nbluring tables   " + std::string(32, '.') +
         "\nperforming shift " + dotsOfWalk(lineCount - 2) + "\n";
}

std::string runTextBeforeReport(const std::string& input, const std::string& output, int lineCount) {
  return bannerText() + loadingText(input) + progressText(lineCount) + "saving output file " + output;
}

std::vector<double> reportedShifts(const std::string& output) {
  std::vector<double> shifts;
  const std::regex report("average shift: ([0-9.]+),");
  for (auto it = std::sregex_iterator(output.begin(), output.end(), report); it != std::sregex_iterator(); ++it)
    shifts.push_back(std::stod((*it)[1].str()));
  return shifts;
}

std::string usageText() {
  return "LOMVERA - Program for removing stripes from scans.\n\nusage:\n\n"
         "   lomvera input_file.tga output_file.tga => process single file\n"
         "   lomvera dir_name    => process all .tga files in the directory\n"
         "                          and append _s suffix to the file names.\n"
         "\n\nPress ENTER";
}

std::string loadFailureText(const std::string& input) {
  return bannerText() + loadingText(input) + "\nError: cannot open file " + input + "\n";
}

bool isFailureLine(const std::string& errors, const std::string& path, const std::string& reason) {
  const std::string line = "lomvera: " + path + ": " + reason;
  if (errors.compare(0, line.size(), line) != 0 || errors.back() != '\n') return false;
  const std::string rest = errors.substr(line.size(), errors.size() - line.size() - 1);
  return rest.empty() || std::regex_match(rest, std::regex(" \\([^\n]+\\)"));
}

std::uint64_t savedFileSize(int width, int height) { return 18 + 3 * std::uint64_t(width) * std::uint64_t(height); }
