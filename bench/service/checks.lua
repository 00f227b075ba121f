-- wrk script: POSTs task checks drawn from a few realistic descriptions. With RATE set
-- (checks a second for the whole run) each thread paces its requests to its share of
-- that rate; without it wrk sends as fast as the service answers.
local ffi = require("ffi")
ffi.cdef [[
typedef struct { long tv_sec; long tv_usec; } bench_timeval;
int gettimeofday(bench_timeval *tv, void *tz);
]]
local tv = ffi.new("bench_timeval")
local function now_ms()
  ffi.C.gettimeofday(tv, nil)
  return tonumber(tv.tv_sec) * 1000 + tonumber(tv.tv_usec) / 1000
end

local tasks = {
  [[Fix the crash in parser.cpp when the input is empty, and add a regression test that feeds it an empty file. Keep the public API unchanged.]],
  [[Implement CSV export for the report view in src/report/ReportView.cpp: add an Export button that writes the visible rows with a header line, and add a unit test that exports three rows and compares the file.]],
  [[Clean up the entire codebase. Also investigate the slow build and add caching, plus rewrite the installer.]],
  [[Fix this crash in the importer:
Traceback (most recent call last):
  File "importer.py", line 42, in load
    rows = parse(data)
KeyError: 'id'
Rows without an id should be skipped; add a test.]],
  [[Migrate the settings storage in src/settings/ from INI files to SQLite. Keep reading the old INI files for one release, so existing users keep their settings, and write only to the database from now on. The settings tests in tests/settings must pass.]],
}

local function json_string(s)
  return '"' .. s:gsub('\\', '\\\\'):gsub('"', '\\"'):gsub('\n', '\\n') .. '"'
end

local bodies = {}
for i, t in ipairs(tasks) do
  bodies[i] = '{"task":' .. json_string(t) .. ',"quota":{"fiveHourRemainingPercent":' .. (i * 17 % 100) ..
    ',"fiveHourSecondsToReset":7800,"weeklyRemainingPercent":80,"weeklySecondsToReset":300000,' ..
    '"pressureSummary":"Most pressured: five-hour window, 3 points behind even pace."}}'
end

local counter = 0
local interval, start, slot
function init(args)
  local rate = tonumber(os.getenv("RATE") or "")
  local threads = tonumber(os.getenv("THREADS") or "1")
  if rate and rate > 0 then
    interval = 1000 * threads / rate
  end
end

function request()
  counter = counter + 1
  return wrk.format("POST", "/api/tessaline", { ["Content-Type"] = "application/json" },
    bodies[counter % #bodies + 1])
end

function delay()
  if not interval then return 0 end
  local t = now_ms()
  if not start then start = t; slot = 0 end
  slot = slot + 1
  local due = start + slot * interval
  return due > t and (due - t) or 0
end

function response(status, headers, body)
  if status ~= 200 then
    io.stderr:write("unexpected status " .. status .. "\n")
  end
end
