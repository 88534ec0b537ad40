#!/usr/bin/env bash
# The layering of our own includes: a folder includes only the folders below
# it. Prints every include that crosses the layers the wrong way and exits
# non-zero when there is one. (tests/, bench/ and sim/ stand outside.)
set -u
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# folder: the folders of ours it may include (itself always).
declare -A allowed=(
  [platform]=""
  [records]="platform"
  [link]="records platform"
  [firmware]="records platform"
  [flashing]="link records platform"
  [discovery]="link records platform"
  [session]="discovery flashing firmware link records platform"
  [crash]="records platform"
  [gui]="platform"
  [console]="session crash discovery flashing firmware link records platform"
  [ui]="session crash gui discovery flashing firmware link records platform"
  [app]="console ui session crash gui discovery flashing firmware link records platform"
  [tools]="firmware records platform"
)

found=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$hit")
    [ "$target" = "$folder" ] && continue
    case " ${allowed[$folder]} " in
      *" $target "*) ;;
      *) echo "layering: $file includes $target/ (${folder}/ may include: ${allowed[$folder]:-nothing of ours})"; found=1 ;;
    esac
  done < <(grep -rHE '^\s*#\s*include "[a-z0-9_]+/' --include='*.cpp' --include='*.h' "$folder")
done
if [ $found -eq 0 ]; then
  echo "layering: every include points down"
fi
exit $found
