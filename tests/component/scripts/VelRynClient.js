// A JScript host of Ryn.VelRyn: creates it by ProgID, sets and reads
// parameters, and checks the error objects of failed calls. Every error is
// caught here; the last line tells how many checks passed and failed.
// The one argument is the description the system gives a type mismatch
// (the system's text, or the component's fallback where it has none).
var passed = 0;
var failed = 0;

function check(what, condition) {
  if (condition) {
    passed++;
  } else {
    failed++;
    WScript.Echo("FAIL: " + what);
  }
}

function hex(number) {
  return (number < 0 ? number + 0x100000000 : number).toString(16).toUpperCase();
}

function expectSuccess(what, action) {
  try {
    action();
    check(what + " succeeds", true);
  } catch (e) {
    check(what + " succeeds (got " + hex(e.number) + " " + e.description + ")", false);
  }
}

function expectError(what, number, description, action) {
  try {
    action();
    check(what + " fails", false);
  } catch (e) {
    check(what + ": number " + hex(e.number), e.number == (number | 0));
    check(what + ": description \"" + e.description + "\"", e.description == description);
  }
}

var typeMismatch = WScript.Arguments.length == 1 ? WScript.Arguments.Item(0) : "";
check("the type mismatch's description is given (" + WScript.Arguments.length + " arguments)", typeMismatch != "");

var ryn = null;
try {
  ryn = new ActiveXObject("Ryn.VelRyn.1");
} catch (e) {
  check("new ActiveXObject (got " + hex(e.number) + " " + e.description + ")", false);
}
check("new ActiveXObject gives an object", ryn !== null);

if (ryn !== null) {
  expectSuccess("SetParameter DELAY 100", function () { ryn.SetParameter("DELAY", 100); });
  expectSuccess("SetParameter VOLUME \"50\"", function () { ryn.SetParameter("VOLUME", "50"); });
  expectSuccess("SetParameter VOLUME 37.6", function () { ryn.SetParameter("VOLUME", 37.6); });
  expectSuccess("SetParameter ZEL_MODE 1", function () { ryn.SetParameter("ZEL_MODE", 1); });

  var delay = -1;
  expectSuccess("GetParameter DELAY", function () { delay = ryn.GetParameter("DELAY"); });
  check("GetParameter DELAY before any measurement is 0 (got " + delay + ")", delay === 0);

  expectError("unknown name", 0x80042005, "Unsupported parameter",
              function () { ryn.SetParameter("PITCH", 1); });
  expectError("lower-case name", 0x80042005, "Unsupported parameter",
              function () { ryn.SetParameter("delay", 100); });
  expectError("delay out of range", 0x80042006, "Invalid parameter",
              function () { ryn.SetParameter("DELAY", 221); });
  expectError("unconvertible value", 0x80020005, typeMismatch,
              function () { ryn.SetParameter("DELAY", "abc"); });
  expectError("GetParameter VOLUME", 0x80042005, "Unsupported parameter",
              function () { ryn.GetParameter("VOLUME"); });
  // No sound server is reachable in this test.
  expectError("Run without sound", 0x80042009, "Could not initialize DirectX",
              function () { ryn.Run(); });
  expectSuccess("Stop", function () { ryn.Stop(); });
}

WScript.Echo(passed + " passed, " + failed + " failed");
