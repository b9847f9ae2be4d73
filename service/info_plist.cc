// The daemon's information property list, carried inside the executable in
// a section of its own (macOS keeps it in __TEXT,__info_plist), so that
// tools can read the bundle's identity from the binary alone:
//   objcopy -O binary --only-section=.info_plist com.korvane.helper /dev/stdout

namespace {

[[gnu::section(".info_plist"), gnu::used]] const char kInfoPlist[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleDevelopmentRegion</key>
	<string>en</string>
	<key>CFBundleExecutable</key>
	<string>com.korvane.helper</string>
	<key>CFBundleIdentifier</key>
	<string>com.korvane.helper</string>
	<key>CFBundleInfoDictionaryVersion</key>
	<string>6.0</string>
	<key>CFBundleName</key>
	<string>com.korvane.helper</string>
	<key>CFBundleSupportedPlatforms</key>
	<array>
		<string>MacOSX</string>
	</array>
	<key>LSMinimumSystemVersion</key>
	<string>14.6</string>
</dict>
</plist>
)";

}  // namespace
