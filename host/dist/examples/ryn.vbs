' Ten seconds of delayed auditory feedback at 100 ms, then the achieved delay.
Option Explicit
Dim ryn
Set ryn = CreateObject("Ryn.VelRyn.1")
ryn.SetParameter "DELAY", 100
ryn.SetParameter "VOLUME", 80
On Error Resume Next
ryn.Run
If Err.Number <> 0 Then
  WScript.Echo "Run failed: " & Err.Description & " (0x" & Hex(Err.Number) & ")"
  WScript.Quit 1
End If
On Error Goto 0
WScript.Sleep 10000
WScript.Echo "achieved delay: " & ryn.GetParameter("DELAY") & " ms"
ryn.Stop
