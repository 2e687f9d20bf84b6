# The Debian package, made by `cpack -G DEB` (scripts/package runs it from a build folder of
# its own). Its dependencies come from dpkg-shlibdeps over the installed programs, so they
# follow whatever the build linked.
if(NOT ORVALEN_GUI)
    return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvalen)
set(CPACK_PACKAGE_VENDOR "The Orvalen developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "image browser and viewer")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvalen developers <devel@orvalen.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The synopsis is the summary above; CPack indents these lines and turns the empty one into the
# paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[Orvalen browses folders of images in a window with a folder tree and a file
list, and shows one image at a time in a viewer that fits the image to the
window or the window to the image, zooms, goes full screen, prints and steps
through the folder. Every format the ImageMagick library reads is shown, and
camera RAW, JPEG XL, HEIC and AVIF files; photos are turned upright, colour
profiles honoured and animations played.

One running viewer serves every image the desktop opens.]=])
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The display package is ours: dpkg-shlibdeps finds it here instead of asking which package
# provides it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
# Opening an image with the default program goes through xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
include(CPack)
