// The line that a traceback entry reports for each statement, method by method. A method's first
// line is what its argument binding reports; the other lines number the statements of its body.
// Kept in one table so that the numbering can be read, and checked, as a whole.
#pragma once

namespace sovelk::lines {

// The module body.
namespace module_body {
inline constexpr int kNumpyImport = 1;
inline constexpr int kCv2Import = 2;
inline constexpr int kClass = 5;
}  // namespace module_body

namespace init {
inline constexpr int kFirst = 6;
inline constexpr int kSigmaR = 7;
inline constexpr int kSigmaS = 8;
inline constexpr int kWndwSize = 9;
inline constexpr int kPadW = 10;
inline constexpr int kKernelS = 12;
inline constexpr int kRangeTables = 13;
}  // namespace init

namespace get_range_table {
inline constexpr int kFirst = 15;
inline constexpr int kDiff = 16;
inline constexpr int kColor = 17;
inline constexpr int kGray = 18;
inline constexpr int kReturn = 19;
}  // namespace get_range_table

namespace get_spatial_kernel {
inline constexpr int kFirst = 21;
inline constexpr int kGrid = 22;
inline constexpr int kKernel = 23;
}  // namespace get_spatial_kernel

namespace get_range_kernel {
inline constexpr int kFirst = 26;
inline constexpr int kCenter = 27;
inline constexpr int kIfThreeAxes = 28;
inline constexpr int kExpandDims = 29;
inline constexpr int kIfOneChannel = 30;
inline constexpr int kGrayTable = 31;
inline constexpr int kColorTable = 33;
inline constexpr int kDiffAbs = 34;
inline constexpr int kReturn = 35;
}  // namespace get_range_kernel

namespace joint_bilateral_filter {
inline constexpr int kFirst = 38;
inline constexpr int kBorderType = 39;
inline constexpr int kPadImg = 40;
inline constexpr int kPadGuidance = 41;
inline constexpr int kTmpImg = 44;  // also where the fused kernel's own allocations report
inline constexpr int kTmpGuidance = 45;
inline constexpr int kShape = 47;
inline constexpr int kOffsetLoop = 48;
inline constexpr int kOffsets = 49;
inline constexpr int kImgWindow = 50;
inline constexpr int kGuidanceWindow = 51;
inline constexpr int kNewKernelS = 53;
inline constexpr int kNewKernelR = 54;
inline constexpr int kNewKernel = 56;
inline constexpr int kNormalize = 57;
inline constexpr int kOutput = 58;  // also where a Ctrl-C during the fused kernel reports
inline constexpr int kResult = 60;
}  // namespace joint_bilateral_filter

}  // namespace sovelk::lines
