// Runs a PowerShell script as "powershell.exe -NoProfile -NonInteractive
// -ExecutionPolicy Bypass -File SCRIPT [ARGUMENT...]" does on Windows, for the
// tests that run the fleet scripts under Wine, where PowerShell's own console
// host does not start: output, Write-Host and warnings go to standard output
// in the order written, errors to standard error, both in UTF-8 so that the
// tests read every name exactly, and the script's exit code is this
// program's (1 where it stopped on an error).
using System;
using System.Globalization;
using System.IO;
using System.Management.Automation;
using System.Management.Automation.Runspaces;

public static class Program
{
    public static int Main(string[] args)
    {
        if (args.Length == 0)
        {
            Console.Error.WriteLine("usage: pwsh SCRIPT [-NAME VALUE | -SWITCH | ARGUMENT]...");
            return 64;
        }
        var utf8 = new System.Text.UTF8Encoding(false);
        Console.SetOut(new StreamWriter(Console.OpenStandardOutput(), utf8) { AutoFlush = true });
        Console.SetError(new StreamWriter(Console.OpenStandardError(), utf8) { AutoFlush = true });
        // A format culture of the tests' choosing, as a user's may differ
        // from the system's locale.
        string culture = Environment.GetEnvironmentVariable("QUARVANE_TEST_CULTURE");
        if (!string.IsNullOrEmpty(culture))
            CultureInfo.DefaultThreadCurrentCulture = CultureInfo.CurrentCulture = new CultureInfo(culture);
        var state = InitialSessionState.CreateDefault2();
        if (OperatingSystem.IsWindows()) state.ExecutionPolicy = Microsoft.PowerShell.ExecutionPolicy.Bypass;
        using var runspace = RunspaceFactory.CreateRunspace(state);
        runspace.Open();
        using var shell = PowerShell.Create();
        shell.Runspace = runspace;
        AddScriptCommand(shell, args);
        shell.AddCommand("Out-String").AddParameter("Stream");

        var output = new PSDataCollection<PSObject>();
        output.DataAdded += (_, e) => Console.Out.WriteLine(output[e.Index]);
        var streams = shell.Streams;
        streams.Information.DataAdded += (_, e) => Console.Out.WriteLine(streams.Information[e.Index].MessageData);
        streams.Warning.DataAdded += (_, e) => Console.Out.WriteLine("WARNING: " + streams.Warning[e.Index].Message);
        streams.Error.DataAdded += (_, e) => Console.Error.WriteLine(streams.Error[e.Index]);
        try
        {
            shell.Invoke(null, output);
        }
        catch (RuntimeException e)
        {
            Console.Error.WriteLine(e.ErrorRecord);
            return 1;
        }
        return runspace.SessionStateProxy.GetVariable("LASTEXITCODE") is int code ? code : 0;
    }

    // The script, then "-Name value", "-Name:value" and "-Switch" as its
    // parameters and anything else as a positional argument, as -File binds
    // them.
    private static void AddScriptCommand(PowerShell shell, string[] args)
    {
        shell.AddCommand(Path.GetFullPath(args[0]));
        for (int i = 1; i < args.Length; i++)
        {
            string word = args[i];
            if (word.Length < 2 || word[0] != '-')
            {
                shell.AddArgument(word);
                continue;
            }
            int colon = word.IndexOf(':');
            if (colon > 0)
                shell.AddParameter(word.Substring(1, colon - 1), word.Substring(colon + 1));
            else if (i + 1 < args.Length && !args[i + 1].StartsWith('-'))
                shell.AddParameter(word.Substring(1), args[++i]);
            else
                shell.AddParameter(word.Substring(1));
        }
    }
}
