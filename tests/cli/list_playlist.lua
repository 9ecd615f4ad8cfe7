-- SPDX-License-Identifier: GPL-2.0-or-later
-- Loaded into mpv by cli_test.py: prints every playlist entry (title, then address) and
-- quits before the first entry is opened, so no stream address is ever contacted.
mp.add_hook("on_load", 50, function()
  for i = 0, mp.get_property_number("playlist-count", 0) - 1 do
    local entry = "playlist/" .. i .. "/"
    print("entry\t" .. (mp.get_property(entry .. "title") or "") .. "\t" ..
          mp.get_property(entry .. "filename"))
  end
  mp.command("quit 0")
end)
