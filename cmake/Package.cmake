# The release package (Windows builds): `cmake --build --preset mingw-i686
# --target package` builds this tree's DLL, builds the other architecture's DLL
# and velko.exe through its preset (configuring it when needed), checks both
# DLLs' imports and exports, and zips each DLL with the velko.exe of its
# bitness (x86/, x64/) and the install guide into <build>/a_velko1c83-<version>.zip.
#
# Beside them goes the Native API add-in package the host imports,
# a_velko1c83_native-<version>.zip: the Native DLLs of both architectures and
# the Linux shared object (built through the linux preset), each checked, and
# MANIFEST.XML naming one file per system and architecture; the zip is then
# read back as the host reads it (cmake/CheckNativePackage.cmake). It is also
# put into the release zip.
if(NOT WIN32)
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VELKO_THIS_ARCH x86)
  set(VELKO_OTHER_ARCH x64)
  set(VELKO_OTHER_PRESET mingw-x86_64)
  set(VELKO_OTHER_OBJDUMP x86_64-w64-mingw32-objdump)
  set(VELKO_OTHER_STRIP x86_64-w64-mingw32-strip)
else()
  set(VELKO_THIS_ARCH x64)
  set(VELKO_OTHER_ARCH x86)
  set(VELKO_OTHER_PRESET mingw-i686)
  set(VELKO_OTHER_OBJDUMP i686-w64-mingw32-objdump)
  set(VELKO_OTHER_STRIP i686-w64-mingw32-strip)
endif()
set(VELKO_OTHER_BUILD ${PROJECT_SOURCE_DIR}/build/${VELKO_OTHER_PRESET})
set(VELKO_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package/a_velko1c83-${VELKO_FILE_VERSION})
set(VELKO_PACKAGE_ZIP ${CMAKE_BINARY_DIR}/a_velko1c83-${VELKO_FILE_VERSION}.zip)
set(VELKO_NATIVE_DIR ${CMAKE_BINARY_DIR}/package/native)
set(VELKO_NATIVE_ZIP_NAME a_velko1c83_native-${VELKO_FILE_VERSION}.zip)
set(VELKO_NATIVE_ZIP ${CMAKE_BINARY_DIR}/${VELKO_NATIVE_ZIP_NAME})
set(VELKO_LINUX_BUILD ${PROJECT_SOURCE_DIR}/build/linux)
set(VELKO_NATIVE_EXPORTS "GetClassNames,GetClassObject,DestroyObject,SetPlatformCapabilities,GetAttachType")
if(VELKO_THIS_ARCH STREQUAL x86)
  set(VELKO_NATIVE_THIS win32)
  set(VELKO_NATIVE_OTHER win64)
else()
  set(VELKO_NATIVE_THIS win64)
  set(VELKO_NATIVE_OTHER win32)
endif()

# velko.exe goes beside the DLL of its bitness: `velko call --com` checks the
# registration of that DLL, and a 64-bit DLL is only created in a 64-bit process.
set(velko_exe_steps "")
if(TARGET velko)
  set(velko_exe_steps
    COMMAND ${CMAKE_COMMAND} --build ${VELKO_OTHER_BUILD} -j 2 --target velko
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:velko> ${VELKO_PACKAGE_DIR}/${VELKO_THIS_ARCH}/velko.exe
    COMMAND ${CMAKE_STRIP} --strip-debug ${VELKO_PACKAGE_DIR}/${VELKO_THIS_ARCH}/velko.exe
    COMMAND ${CMAKE_COMMAND} -E copy ${VELKO_OTHER_BUILD}/tools/velko/velko.exe ${VELKO_PACKAGE_DIR}/${VELKO_OTHER_ARCH}/velko.exe
    COMMAND ${VELKO_OTHER_STRIP} --strip-debug ${VELKO_PACKAGE_DIR}/${VELKO_OTHER_ARCH}/velko.exe)
endif()

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
add_custom_target(package
  COMMAND ${CMAKE_COMMAND} -E echo "building the ${VELKO_OTHER_ARCH} DLL through the ${VELKO_OTHER_PRESET} preset"
  COMMAND ${CMAKE_COMMAND} -E chdir ${PROJECT_SOURCE_DIR} ${CMAKE_COMMAND} --preset ${VELKO_OTHER_PRESET}
  COMMAND ${CMAKE_COMMAND} --build ${VELKO_OTHER_BUILD} -j 2 --target a_velko1c83
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:a_velko1c83>
          -P ${PROJECT_SOURCE_DIR}/cmake/CheckDll.cmake
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${VELKO_OTHER_OBJDUMP} -DDLL=${VELKO_OTHER_BUILD}/src/a_velko1c83.dll
          -P ${PROJECT_SOURCE_DIR}/cmake/CheckDll.cmake
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VELKO_PACKAGE_DIR} ${VELKO_PACKAGE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VELKO_PACKAGE_DIR}/x86 ${VELKO_PACKAGE_DIR}/x64
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:a_velko1c83> ${VELKO_PACKAGE_DIR}/${VELKO_THIS_ARCH}/a_velko1c83.dll
  COMMAND ${CMAKE_COMMAND} -E copy ${VELKO_OTHER_BUILD}/src/a_velko1c83.dll
          ${VELKO_PACKAGE_DIR}/${VELKO_OTHER_ARCH}/a_velko1c83.dll
  ${velko_exe_steps}
  # The shipped files carry no debug information.
  COMMAND ${CMAKE_STRIP} --strip-debug ${VELKO_PACKAGE_DIR}/${VELKO_THIS_ARCH}/a_velko1c83.dll
  COMMAND ${VELKO_OTHER_STRIP} --strip-debug ${VELKO_PACKAGE_DIR}/${VELKO_OTHER_ARCH}/a_velko1c83.dll
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/INSTALL.md ${VELKO_PACKAGE_DIR}/INSTALL.md
  # The Native add-in: this tree's DLL, the other architecture's, the Linux
  # shared object; each checked, stripped, and zipped with the manifest.
  COMMAND ${CMAKE_COMMAND} --build ${VELKO_OTHER_BUILD} -j 2 --target a_velko1c83_native
  COMMAND ${CMAKE_COMMAND} -E chdir ${PROJECT_SOURCE_DIR} ${CMAKE_COMMAND} --preset linux
  COMMAND ${CMAKE_COMMAND} --build ${VELKO_LINUX_BUILD} -j 2 --target a_velko1c83_native
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:a_velko1c83_native>
          -DEXPORTS=${VELKO_NATIVE_EXPORTS} -DONLY_EXPORTS=ON -P ${PROJECT_SOURCE_DIR}/cmake/CheckDll.cmake
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${VELKO_OTHER_OBJDUMP} -DDLL=${VELKO_OTHER_BUILD}/src/a_velko1c83_native.dll
          -DEXPORTS=${VELKO_NATIVE_EXPORTS} -DONLY_EXPORTS=ON -P ${PROJECT_SOURCE_DIR}/cmake/CheckDll.cmake
  COMMAND ${CMAKE_COMMAND} -DREADELF=readelf -DNM=nm -DSO=${VELKO_LINUX_BUILD}/src/a_velko1c83_native.so
          -DEXPORTS=${VELKO_NATIVE_EXPORTS} -P ${PROJECT_SOURCE_DIR}/cmake/CheckSharedObject.cmake
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VELKO_NATIVE_DIR} ${VELKO_NATIVE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VELKO_NATIVE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:a_velko1c83_native>
          ${VELKO_NATIVE_DIR}/a_velko1c83_native_${VELKO_NATIVE_THIS}.dll
  COMMAND ${CMAKE_COMMAND} -E copy ${VELKO_OTHER_BUILD}/src/a_velko1c83_native.dll
          ${VELKO_NATIVE_DIR}/a_velko1c83_native_${VELKO_NATIVE_OTHER}.dll
  COMMAND ${CMAKE_COMMAND} -E copy ${VELKO_LINUX_BUILD}/src/a_velko1c83_native.so
          ${VELKO_NATIVE_DIR}/a_velko1c83_native_lin64.so
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/src/addin/native/MANIFEST.XML ${VELKO_NATIVE_DIR}/MANIFEST.XML
  COMMAND ${CMAKE_STRIP} --strip-debug ${VELKO_NATIVE_DIR}/a_velko1c83_native_${VELKO_NATIVE_THIS}.dll
  COMMAND ${VELKO_OTHER_STRIP} --strip-debug ${VELKO_NATIVE_DIR}/a_velko1c83_native_${VELKO_NATIVE_OTHER}.dll
  COMMAND strip --strip-debug ${VELKO_NATIVE_DIR}/a_velko1c83_native_lin64.so
  COMMAND ${CMAKE_COMMAND} -E chdir ${VELKO_NATIVE_DIR} zip -q ${VELKO_NATIVE_ZIP} MANIFEST.XML
          a_velko1c83_native_win32.dll a_velko1c83_native_win64.dll a_velko1c83_native_lin64.so
  COMMAND ${CMAKE_COMMAND} -DZIP=${VELKO_NATIVE_ZIP} -DWORK=${CMAKE_BINARY_DIR}/package/native-check
          -P ${PROJECT_SOURCE_DIR}/cmake/CheckNativePackage.cmake
  COMMAND ${CMAKE_COMMAND} -E copy ${VELKO_NATIVE_ZIP} ${VELKO_PACKAGE_DIR}/${VELKO_NATIVE_ZIP_NAME}
  COMMAND unzip -l ${VELKO_NATIVE_ZIP}
  COMMAND zip -q -r ${VELKO_PACKAGE_ZIP} a_velko1c83-${VELKO_FILE_VERSION}
  COMMAND unzip -l ${VELKO_PACKAGE_ZIP}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/package
  DEPENDS a_velko1c83 a_velko1c83_native
  COMMENT "Packaging a_velko1c83 ${VELKO_FILE_VERSION}"
  VERBATIM)
