#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing: quick and
# quiet when everything is there. Runs apt-get update once, and only when something is missing.
set -euo pipefail

packages=(
    # Build tools
    cmake ninja-build g++ make pkg-config
    # Qt 6 and the QML modules the windows import
    qt6-base-dev qt6-base-dev-tools qt6-declarative-dev libxkbcommon-dev libgl-dev
    qml6-module-qtqml qml6-module-qtqml-workerscript qml6-module-qtquick
    qml6-module-qtquick-controls qml6-module-qtquick-templates qml6-module-qtquick-layouts
    qml6-module-qtquick-window qml6-module-qtquick-dialogs qml6-module-qt-labs-platform
    qml6-module-qt-labs-settings qml6-module-qttest
    # The folder dialog drawn by Qt Quick where the platform has no native one
    qml6-module-qt-labs-folderlistmodel
    # The development web service
    qt6-httpserver-dev qt6-websockets-dev openssl
    # DICOM: the library, and independent readers and test files for the tests
    libgdcm-dev libgdcm-tools dcmtk python3-pydicom zlib1g-dev
    # An independent validator for the privacy check (tools/privacy), and the fonts that its
    # adversarial corpus and the OCR tests draw burned-in names with
    dicom3tools python3-pil fonts-dejavu-core fonts-liberation
    # OCR of text burned into the pixels: the library and its English model
    libtesseract-dev tesseract-ocr-eng
    # Tests and benchmarks
    xvfb xauth time
    # Fuzzing (make fuzz): clang with its sanitizer and libFuzzer runtimes
    clang libclang-rt-14-dev
    ${VEXAR_EXTRA_PACKAGES:-}
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = "installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root, or install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
