# The version resource of merravine.exe (Explorer's Details page shows it).
enable_language(RC)
string(REPLACE "." "," merravine_version_commas "${PROJECT_VERSION}")
set(merravine_rc ${CMAKE_BINARY_DIR}/generated/merravine.rc)
file(CONFIGURE OUTPUT ${merravine_rc} CONTENT [=[
#include <winver.h>
VS_VERSION_INFO VERSIONINFO
FILEVERSION @merravine_version_commas@
PRODUCTVERSION @merravine_version_commas@
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_APP
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "CompanyName", "Corvantis"
      VALUE "FileDescription", "Corvantis Merravine duplicate file finder"
      VALUE "FileVersion", "@PROJECT_VERSION@"
      VALUE "ProductName", "Corvantis Merravine"
      VALUE "ProductVersion", "@PROJECT_VERSION@"
      VALUE "OriginalFilename", "merravine.exe"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
]=] @ONLY)
target_sources(merravine PRIVATE ${merravine_rc})
