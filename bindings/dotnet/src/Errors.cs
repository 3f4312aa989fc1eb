using System;
using System.Text.RegularExpressions;

namespace Qd500
{
    /// <summary>A call the library or the reader refused.</summary>
    /// <remarks>Message is the English text of the result; ReaderMessage the
    /// library's own text (UTF-8, as the reader words it).</remarks>
    public class ReaderException : Exception
    {
        /// <summary>The reader's two-digit status code as a number (21 no card,
        /// 31 wrong code) or one of the library's negative codes.</summary>
        public int Result { get; }
        /// <summary>The reader's two-character status code ("21"); "" when it gave none.</summary>
        public string Status { get; }
        /// <summary>The library's text of the failure, as the reader words it.</summary>
        public string ReaderMessage { get; }
        /// <summary>The card's status word when the card, not the reader,
        /// refused (a VERIFY answered 63Cx); else null.</summary>
        public int? SW { get; }

        public ReaderException(int result, string status, string readerMessage, int? sw = null)
            : base(EnglishText(result, readerMessage, sw))
        {
            Result = result;
            Status = status ?? "";
            ReaderMessage = readerMessage ?? "";
            SW = sw;
        }

        static string EnglishText(int result, string readerMessage, int? sw)
        {
            var text = "result " + result + ": " + Native.Text(Native.qd500_strerror(result));
            if (sw.HasValue)
                text += ", card status " + sw.Value.ToString("X4");
            return string.IsNullOrEmpty(readerMessage) ? text : text + " (" + readerMessage + ")";
        }

        internal static Exception For(int result, string status, string message)
        {
            switch (result)
            {
                case Native.E_PARAM: return new ReaderArgumentException(message);
                case Native.E_OPEN: return new PortException(result, status, message);
                case Native.E_TIMEOUT: return new TimeoutException(result, status, message);
                case Native.E_LINE: return new LineException(result, status, message);
                case Native.E_PROTOCOL: return new ProtocolException(result, status, message);
                case Native.E_CANCELLED: return new CancelledException(result, status, message);
                case 21: return new NoCardException(result, status, message);
                case WrongCodeException.Code: return new WrongCodeException(result, status, message);
                case CodeLockedException.Code: return new CodeLockedException(result, status, message);
                default: return new ReaderException(result, status, message);
            }
        }
    }

    /// <summary>The library refused an argument (a memory range past the card
    /// type's end, a name it does not know); nothing was sent.</summary>
    public class ReaderArgumentException : ArgumentException
    {
        public int Result => Native.E_PARAM;
        /// <summary>The library's text of why.</summary>
        public string ReaderMessage { get; }

        public ReaderArgumentException(string readerMessage)
            : base(Native.Text(Native.qd500_strerror(Native.E_PARAM)) + " (" + readerMessage + ")")
        {
            ReaderMessage = readerMessage ?? "";
        }
    }

    /// <summary>The port is missing, busy or forbidden.</summary>
    public class PortException : ReaderException
    {
        /// <summary>The port, with the device a COM number stands for.</summary>
        public string Port { get; }
        /// <summary>The system's reason ("No such file or directory").</summary>
        public string Reason { get; }

        public PortException(int result, string status, string readerMessage) : base(result, status, readerMessage)
        {
            // The library's text: 不能打开串口[PORT]: REASON
            var found = Regex.Match(ReaderMessage, @"\[(.*)\](?:: (.*))?$");
            Port = found.Success ? found.Groups[1].Value : "";
            Reason = found.Success && found.Groups[2].Success ? found.Groups[2].Value : ReaderMessage;
        }

        public override string Message =>
            Port.Length > 0 ? "result " + Result + ": cannot open " + Port + ": " + Reason + " (" + ReaderMessage + ")" : base.Message;
    }

    /// <summary>No reply within the reader's time-out.</summary>
    public class TimeoutException : ReaderException
    {
        public TimeoutException(int result, string status, string readerMessage) : base(result, status, readerMessage) { }
    }

    /// <summary>The line failed or vanished; every call fails until Reopen().</summary>
    public class LineException : ReaderException
    {
        public LineException(int result, string status, string readerMessage) : base(result, status, readerMessage) { }
    }

    /// <summary>The reader's reply was malformed.</summary>
    public class ProtocolException : ReaderException
    {
        public ProtocolException(int result, string status, string readerMessage) : base(result, status, readerMessage) { }
    }

    /// <summary>Cancel() ended the call.</summary>
    public class CancelledException : ReaderException
    {
        public CancelledException(int result, string status, string readerMessage) : base(result, status, readerMessage) { }
    }

    /// <summary>No card in the reader.</summary>
    public class NoCardException : ReaderException
    {
        public NoCardException(int result, string status, string readerMessage) : base(result, status, readerMessage) { }
    }

    /// <summary>A wrong PIN or security code.</summary>
    public class WrongCodeException : ReaderException
    {
        internal const int Code = 31;

        /// <summary>The attempts the card has left where it tells (a CPU card's
        /// 63Cx); null where it does not, as SLE44xx cards do not through this reader.</summary>
        public int? TriesLeft { get; }

        public WrongCodeException(int result, string status, string readerMessage, int? sw = null, int? triesLeft = null)
            : base(result, status, readerMessage, sw)
        {
            TriesLeft = triesLeft;
        }
    }

    /// <summary>The code's error counter is spent: no tries are left.</summary>
    public class CodeLockedException : WrongCodeException
    {
        internal new const int Code = 33;

        public CodeLockedException(int result, string status, string readerMessage, int? sw = null)
            : base(result, status, readerMessage, sw, 0) { }
    }
}
