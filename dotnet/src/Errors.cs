// What a failed call throws. Every exception carries the export that failed,
// its result, the last-error record's kind and code, read on the calling
// thread right after the call, and the library's own English text for them.
using System;

namespace Ptz
{
    // The kinds of the last-error record.
    public enum ErrorKind
    {
        Response = 0,  // the head's response was rejected (codes 1100-1103)
        Link = 1,      // the exchange failed (codes 1002, 1004-1008)
        OS = 2,        // opening or closing failed: the code is the OS error number
    }

    // The last-error codes the library names.
    public static class ErrorCode
    {
        public const int OsCall = 1002, Timeout = 1004, Nak = 1005, BadAck = 1006, Host = 1007, NoHandle = 1008;
        public const int ResponseMark = 1100, ResponseCommand = 1101, Refused = 1102, ResponseBcc = 1103;
    }

    public class PtzException : Exception
    {
        internal PtzException(string call, int result, ErrorKind kind, int code, string text)
            : base(call + ": " + text + (result == Native.BadParam ? "" : " (kind " + (int)kind + ", code " + code + ")"))
        {
            Call = call;
            Result = result;
            Kind = kind;
            Code = code;
            Text = text;
        }

        public string Call { get; private set; }    // the export, e.g. "PTZ_LinkGetPTPos"
        public int Result { get; private set; }     // 1 (failed) or 2 (an argument was rejected)
        public ErrorKind Kind { get; private set; }
        public int Code { get; private set; }
        public string Text { get; private set; }    // the library's text for Kind and Code

        internal static PtzException From(string call, int result, int kind, int code)
        {
            string text = Library.ErrorText(kind, code);
            switch (kind)
            {
                case (int)ErrorKind.Response: return new PtzResponseException(call, result, code, text);
                case (int)ErrorKind.Link: return new PtzLinkException(call, result, code, text);
                case (int)ErrorKind.OS: return new PtzOsException(call, result, code, text);
                default: return new PtzException(call, result, (ErrorKind)kind, code, text);
            }
        }
    }

    // The head answered, and its answer was refused or rejected (Code 1102:
    // the head refused the command).
    public sealed class PtzResponseException : PtzException
    {
        internal PtzResponseException(string call, int result, int code, string text)
            : base(call, result, ErrorKind.Response, code, text) { }
    }

    // The exchange failed: no answer in time, NAKs, a name that does not
    // resolve, no free link handle.
    public sealed class PtzLinkException : PtzException
    {
        internal PtzLinkException(string call, int result, int code, string text)
            : base(call, result, ErrorKind.Link, code, text) { }
    }

    // The operating system refused: a port that cannot be opened, a refused
    // connection. Code is the OS error number (errno, or the Windows code).
    public sealed class PtzOsException : PtzException
    {
        internal PtzOsException(string call, int result, int code, string text)
            : base(call, result, ErrorKind.OS, code, text) { }
    }

    // The library (or the binding, for it) rejected an argument; nothing was
    // sent. Result is 2; Kind and Code are 0 and mean nothing here: test the
    // type or Result, not Kind.
    public sealed class PtzArgumentException : PtzException
    {
        internal PtzArgumentException(string call)
            : base(call, Native.BadParam, ErrorKind.Response, 0, "argument rejected, nothing was sent") { }
    }
}
